// The terminal's wording and the reading of alert answers.
#include "platform/terminal/prompts.h"

#include <gtest/gtest.h>

namespace lumivane::terminal {
namespace {

struct AnswerCase {
  const char* line;
  std::size_t buttons;
  std::optional<int> expected;
};

class ParseAlertAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(ParseAlertAnswer, MapsTheLineToAButtonOrAsksAgain) {
  const AnswerCase& c = GetParam();
  EXPECT_EQ(parseAlertAnswer(c.line, c.buttons), c.expected) << "line '" << c.line << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseAlertAnswer,
    testing::Values(AnswerCase{"", 3, kAlertFirstButtonReturn},
                    AnswerCase{"  ", 3, kAlertFirstButtonReturn},
                    AnswerCase{"\r", 3, kAlertFirstButtonReturn},
                    AnswerCase{"1", 3, kAlertFirstButtonReturn},
                    AnswerCase{"2", 3, kAlertSecondButtonReturn},
                    AnswerCase{" 3 ", 3, kAlertThirdButtonReturn},
                    AnswerCase{"\t2\r", 3, kAlertSecondButtonReturn},
                    AnswerCase{"0", 3, std::nullopt},
                    AnswerCase{"4", 3, std::nullopt},
                    AnswerCase{"3", 2, std::nullopt},
                    AnswerCase{"2", 2, kAlertSecondButtonReturn},
                    AnswerCase{"x", 3, std::nullopt},
                    AnswerCase{"12", 3, std::nullopt},
                    AnswerCase{"1 2", 3, std::nullopt},
                    AnswerCase{"-1", 3, std::nullopt},
                    AnswerCase{"", 1, kAlertFirstButtonReturn},
                    AnswerCase{"2", 1, std::nullopt},
                    AnswerCase{"", 0, kAlertFirstButtonReturn},
                    AnswerCase{"whatever", 0, kAlertFirstButtonReturn}));

TEST(AlertPrompt, NumbersTheButtonsWithTheFirstAsDefault) {
  EXPECT_EQ(alertPrompt({"Start Again", "Show Log", "Quit"}), "1) Start Again  2) Show Log  3) Quit [1]: ");
  EXPECT_EQ(alertPrompt({"OK"}), "1) OK [1]: ");
  EXPECT_EQ(alertPrompt({}), "Press Enter: ");
}

Menu menuOf(std::initializer_list<const char*> titles) {
  Menu menu;
  for (const char* title : titles) {
    if (title == nullptr) {
      menu.addSeparator();
    } else {
      menu.addItem(title, "");
    }
  }
  return menu;
}

TEST(MenuKeysLine, NamesEachCommandByItsKey) {
  const Menu menu = menuOf({"Open Lumivane", "Connect Quest\u2026", nullptr, "Show Log",
                            "Licences & Credits", nullptr, "Quit Lumivane"});
  EXPECT_EQ(menuKeysLine(menu),
            "Keys: o Open Lumivane, p Connect Quest\u2026, l Show Log, c Licences & Credits, "
            "q Quit Lumivane");
}

TEST(MenuKeysLine, KeysFollowTheTitlesAndSkipUnknownOnes) {
  const Menu menu = menuOf({"Quit Lumivane", "Something New", "Open Lumivane"});
  EXPECT_EQ(menuKeysLine(menu), "Keys: q Quit Lumivane, o Open Lumivane");
  EXPECT_EQ(menuKeyForTitle("Something New"), '\0');
  // An ASCII "..." is not the menu's title.
  EXPECT_EQ(menuKeyForTitle("Connect Quest..."), '\0');
}

}  // namespace
}  // namespace lumivane::terminal
