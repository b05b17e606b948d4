// See prompts.h.
#include "platform/terminal/prompts.h"

#include <array>
#include <utility>

namespace lumivane::terminal {

namespace {

constexpr std::array<std::pair<std::string_view, char>, 5> kMenuKeys{{
    {"Open Lumivane", 'o'},
    {"Connect Quest\u2026", 'p'},
    {"Show Log", 'l'},
    {"Licences & Credits", 'c'},
    {"Quit Lumivane", 'q'},
}};

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

char menuKeyForTitle(std::string_view title) {
  for (const auto& [itemTitle, key] : kMenuKeys) {
    if (itemTitle == title) return key;
  }
  return '\0';
}

std::string menuKeysLine(const Menu& menu) {
  std::string line = "Keys:";
  bool first = true;
  for (const MenuItem& item : menu.itemArray()) {
    if (item.separator) continue;
    const char key = menuKeyForTitle(item.title);
    if (key == '\0') continue;
    line += first ? " " : ", ";
    line += key;
    line += ' ';
    line += item.title;
    first = false;
  }
  return line;
}

std::string alertPrompt(const std::vector<std::string>& buttons) {
  if (buttons.empty()) return "Press Enter: ";
  std::string prompt;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (i > 0) prompt += "  ";
    prompt += std::to_string(i + 1) + ") " + buttons[i];
  }
  return prompt + " [1]: ";
}

std::optional<int> parseAlertAnswer(std::string_view line, std::size_t buttonCount) {
  if (buttonCount == 0) return kAlertFirstButtonReturn;
  const std::string_view answer = trimmed(line);
  if (answer.empty()) return kAlertFirstButtonReturn;
  if (answer.size() != 1 || answer[0] < '1' || answer[0] > '9') return std::nullopt;
  const auto chosen = static_cast<std::size_t>(answer[0] - '1');
  if (chosen >= buttonCount) return std::nullopt;
  return kAlertFirstButtonReturn + static_cast<int>(chosen);
}

}  // namespace lumivane::terminal
