// The readiness probe: one GET of "/login" on the loopback address, judged by its status.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace lumivane {

// "http://127.0.0.1:<port>/login". The probe uses the numeric loopback address, never a name
// that could resolve elsewhere.
std::string probeURL(std::int64_t port);

// True when an HTTP response arrived with a status below 500: the server is up, whatever it
// thinks of the request. No response, or a server error, is a negative answer.
bool probeVerdict(const HttpResult& result);

}  // namespace lumivane
