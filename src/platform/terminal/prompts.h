// What the terminal front end prints and how it reads answers: the line of menu keys, the
// numbered button prompt of an alert and its answers. Pure, so the wording and the parsing
// are tested without a terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace lumivane::terminal {

// The key that chooses a menu item with this title, or '\0' for a title without one. Keys
// follow the titles, not the positions, so a reordered menu keeps its keys.
char menuKeyForTitle(std::string_view title);

// One line naming every item that has a key: "Keys: o Open Lumivane, p Connect Quest…, …".
std::string menuKeysLine(const Menu& menu);

// "1) Start Again  2) Show Log  3) Quit [1]: ", or "Press Enter: " without buttons.
std::string alertPrompt(const std::vector<std::string>& buttons);

// The result of `runModal` for one line typed at the alert prompt (without its newline):
// kAlertFirstButtonReturn and on for "1", "2", "3" (blanks around allowed); the first button
// for an empty line; any line when there are no buttons. Empty when the line answers nothing
// and the question must be asked again.
std::optional<int> parseAlertAnswer(std::string_view line, std::size_t buttonCount);

}  // namespace lumivane::terminal
