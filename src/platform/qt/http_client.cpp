// See http_client.h.
#include "platform/qt/http_client.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace lumivane::qt {

namespace {

// Qt reads a transfer timeout of 0 as "none"; the shortest real timeout is 1 ms.
int transferTimeoutMs(Duration timeout) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 1, INT_MAX));
}

}  // namespace

HttpClient::HttpClient() {
  // The requests go to the loopback server; a desktop proxy setting must not reroute them.
  manager_.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

void HttpClient::get(const std::string& url, Duration timeout, HttpCompletion completion) {
  QNetworkRequest request(QUrl(QString::fromStdString(url)));
  request.setTransferTimeout(transferTimeoutMs(timeout));
  QNetworkReply* reply = manager_.get(request);
  // `finished` comes once per reply, after success, an error, an abort or the timeout.
  QObject::connect(reply, &QNetworkReply::finished, reply,
                   [reply, completion = std::move(completion)] {
                     HttpResult result;
                     // An error status such as 404 or 500 is also reported as a reply error;
                     // the attribute is set whenever an HTTP response arrived.
                     const QVariant status =
                         reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                     if (status.isValid()) result.statusCode = status.toInt();
                     reply->deleteLater();
                     if (completion) completion(result);
                   });
}

}  // namespace lumivane::qt
