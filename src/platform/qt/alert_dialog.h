// Modal alerts as message boxes.
#pragma once

#include "platform/platform.h"

namespace lumivane::qt {

// Shows the alert in a message box titled "Lumivane", raised above other windows, and runs it
// modally: the main queue and timers go on running until the user dismisses it. Returns
// kAlertFirstButtonReturn plus the index of the chosen button. With no button the box has one
// "OK" button. The first button is the default (Return). Escape and closing the window choose
// the last button, the one furthest from the default: with three buttons that is 1002.
int runAlert(const Alert& alert);

}  // namespace lumivane::qt
