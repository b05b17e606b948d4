// HTTP GET for the platform: one network manager on the main thread, no proxy, an idle
// timeout per request, and a completion that comes exactly once whatever the outcome.
#pragma once

#include <string>

#include <QNetworkAccessManager>

#include "platform/platform.h"

namespace lumivane::qt {

class HttpClient {
 public:
  HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends the request and returns at once. `completion` runs later on the main thread with
  // the status code of the HTTP response, or with none when no response arrived (refused,
  // reset, not HTTP, or no byte moved for `timeout`).
  void get(const std::string& url, Duration timeout, HttpCompletion completion);

 private:
  QNetworkAccessManager manager_;
};

}  // namespace lumivane::qt
