// The status item: its icon or title, its tooltip, and the menu of five commands.
#include <csignal>
#include <fstream>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using StatusMenu = Scenario;

struct Entry {
  bool separator;
  std::string title;
  std::string keyEquivalent;
};

TEST_F(StatusMenu, HoldsSevenEntriesInOrderAllEnabled) {
  launchApp();
  ASSERT_EQ(fake.statusItems().size(), 1u);
  const fake::StatusItemRecord& item = *fake.statusItems()[0];
  EXPECT_EQ(item.length, kSquareStatusItemLength);
  EXPECT_EQ(item.menusSet, 1);
  ASSERT_TRUE(item.menu.has_value());

  const std::vector<Entry> expected = {
      {false, "Open Lumivane", "o"},
      {false, "Connect Quest\u2026", ""},
      {true, "", ""},
      {false, "Show Log", ""},
      {false, "Licences & Credits", ""},
      {true, "", ""},
      {false, "Quit Lumivane", "q"},
  };
  const std::vector<MenuItem>& entries = item.menu->itemArray();
  ASSERT_EQ(entries.size(), expected.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(entries[i].separator, expected[i].separator);
    EXPECT_EQ(entries[i].title, expected[i].title);
    EXPECT_EQ(entries[i].keyEquivalent, expected[i].keyEquivalent);
    EXPECT_EQ(entries[i].enabled(), !expected[i].separator);
  }
  // "Connect Quest…" ends in the one character U+2026, not three full stops.
  EXPECT_EQ(entries[1].title, "Connect Quest\xE2\x80\xA6");
}

struct IconCase {
  const char* name;
  bool iconPresent;
};

// Failures name the case, not its bytes.
void PrintTo(const IconCase& c, std::ostream* os) { *os << c.name; }

class StatusIcon : public Scenario, public ::testing::WithParamInterface<IconCase> {};

TEST_P(StatusIcon, ShowsTheTemplateIconOrTheTwoLetterTitle) {
  const std::filesystem::path icon = fake.temporaryDirectory() / "bundle/share/lumivane/MenuIcon.png";
  if (GetParam().iconPresent) std::ofstream(icon) << "PNG";
  launchApp();

  const fake::StatusItemRecord& item = *fake.statusItems()[0];
  if (GetParam().iconPresent) {
    const fake::FakeImage* image = item.fakeImage();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->path, icon);
    EXPECT_EQ(image->isTemplate, std::optional<bool>(true));
    EXPECT_EQ(image->size, (std::optional<std::pair<double, double>>({18, 18})));
    EXPECT_EQ(item.title, std::nullopt);
  } else {
    EXPECT_EQ(item.image, nullptr);
    EXPECT_EQ(item.title, std::optional<std::string>("LV"));
  }
  EXPECT_EQ(item.toolTip, std::optional<std::string>("Lumivane"));
  EXPECT_TRUE(item.menu.has_value());
}

INSTANTIATE_TEST_SUITE_P(Icons, StatusIcon,
                         ::testing::Values(IconCase{"Present", true}, IconCase{"Missing", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusMenu, AnItemWithoutAButtonStillGetsItsMenu) {
  fake.setStatusItemsHaveButton(false);
  launchApp();

  const fake::StatusItemRecord& item = *fake.statusItems()[0];
  EXPECT_EQ(item.image, nullptr);
  EXPECT_EQ(item.title, std::nullopt);
  EXPECT_EQ(item.toolTip, std::nullopt);
  EXPECT_EQ(item.menusSet, 1);
  EXPECT_EQ(item.menu->itemArray().size(), 7u);
  EXPECT_EQ(fake.requests().size(), 2u);  // and the launch goes on
}

constexpr const char* kHandOffFile = R"({"url": "http://localhost:8000/enter?token=abc"})";

struct ActionCase {
  const char* name;
  const char* title;
  bool withHandOffFile;
  std::string expectedURL;  // empty: the action opens nothing
};

// Failures name the case, not its bytes.
void PrintTo(const ActionCase& c, std::ostream* os) { *os << c.name; }

class MenuAction : public Scenario, public ::testing::WithParamInterface<ActionCase> {};

// Chosen while the server is still starting: every item works at any time.
TEST_P(MenuAction, OpensItsPage) {
  const ActionCase& c = GetParam();
  if (c.withHandOffFile) writeHandOff(kHandOffFile);
  launchApp();
  fake.advanceBy(5s);
  ASSERT_TRUE(fake.chooseMenuItem(c.title));
  fake.runUntilIdle();

  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(fake.openedURLs()[0].url, c.expectedURL);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 5'000);
  EXPECT_THAT(fake.reveals(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Items, MenuAction,
    ::testing::Values(
        ActionCase{"OpenDirect", "Open Lumivane", false, "http://localhost:8000/"},
        ActionCase{"OpenThroughHandOff", "Open Lumivane", true,
                   "http://localhost:8000/enter?token=abc&next=/"},
        ActionCase{"ConnectDirect", "Connect Quest\u2026", false, "http://localhost:8000/?pair=1"},
        ActionCase{"CreditsDirect", "Licences & Credits", false, "http://localhost:8000/licenses"},
        ActionCase{"CreditsIgnoreTheHandOffFile", "Licences & Credits", true,
                   "http://localhost:8000/licenses"}),
    [](const auto& info) { return std::string(info.param.name); });

// How "=" is escaped in "next" is the encoder's choice; a query decoder reads either form.
TEST_F(StatusMenu, ConnectThroughTheHandOffFileCarriesThePairingPath) {
  writeHandOff(kHandOffFile);
  launchApp();
  ASSERT_TRUE(fake.chooseMenuItem("Connect Quest\u2026"));
  fake.runUntilIdle();
  ASSERT_EQ(fake.openedURLs().size(), 1u);
  const std::string& url = fake.openedURLs()[0].url;
  const std::string prefix = "http://localhost:8000/enter?token=abc&next=/?pair";
  EXPECT_EQ(url.substr(0, prefix.size()), prefix);
  const std::string rest = url.substr(prefix.size());
  EXPECT_TRUE(rest == "=1" || rest == "%3D1") << url;
}

TEST_F(StatusMenu, ShowLogRevealsTheLogPathEvenBeforeThereIsALog) {
  fake.setHttpScript(always(FakeHttpAnswer::withStatus(200)));  // reuse: no log is prepared
  launchApp();
  ASSERT_TRUE(fake.chooseMenuItem("Show Log"));
  fake.runUntilIdle();

  ASSERT_EQ(fake.reveals().size(), 1u);
  EXPECT_THAT(fake.reveals()[0].urls, ElementsAre(logPath()));
  EXPECT_FALSE(std::filesystem::exists(logPath()));
  EXPECT_FALSE(fake.exited());
}

TEST_F(StatusMenu, QuitIsTheGracefulStop) {
  FakeChildScript script;
  script.exitAfterSigint = 2s;
  fake.addChild(script);
  launchApp();
  fake.advanceBy(5s);
  ASSERT_TRUE(fake.chooseMenuItem("Quit Lumivane"));
  fake.runUntilIdle();

  ASSERT_EQ(child(0)->signals().size(), 1u);
  EXPECT_EQ(child(0)->signals()[0].signal, SIGINT);
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 7'000);
  EXPECT_TRUE(state().quitting);
}

}  // namespace
}  // namespace lumivane::scenario
