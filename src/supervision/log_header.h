// The line written to the server log before each launch, so that one run's output can be told
// from the previous run's.
#pragma once

#include <string>

#include "platform/platform.h"

namespace lumivane {

// A date as "YYYY-MM-DD hh:mm:ss +0000", in UTC, fractions of a second dropped.
std::string dateDescription(TimePoint date);

// "\n--- Lumivane started " + dateDescription(date) + " ---\n".
std::string logHeader(TimePoint date);

}  // namespace lumivane
