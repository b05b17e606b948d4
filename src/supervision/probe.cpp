#include "supervision/probe.h"

#include "shell/launcher.h"

namespace lumivane {

std::string probeURL(std::int64_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/login";
}

bool probeVerdict(const HttpResult& result) {
  return result.statusCode.has_value() && *result.statusCode < 500;
}

void Launcher::serverAnswers(std::function<void(bool)> answer) {
  // The completion may come on another thread: it only computes the verdict and posts it.
  Platform* p = &platform;
  platform.get(probeURL(port), kProbeTimeout,
               [p, answer = std::move(answer)](HttpResult result) mutable {
                 const bool verdict = probeVerdict(result);
                 p->async([answer = std::move(answer), verdict] { answer(verdict); });
               });
}

}  // namespace lumivane
