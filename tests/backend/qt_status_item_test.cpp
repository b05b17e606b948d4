// The status item without a tray host: its menu as the user would see it (titles, shortcuts,
// separators, enabled items that call their action), the pictures its button shows, and the
// images the platform loads. The tray itself is exercised under a display in qt_tray_test.
#include <algorithm>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include "platform/qt/tray_status_item.h"
#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

std::vector<QMenu*> menus() {
  std::vector<QMenu*> found;
  for (QWidget* widget : QApplication::allWidgets()) {
    if (auto* menu = qobject_cast<QMenu*>(widget)) found.push_back(menu);
  }
  return found;
}

// What a menu draws for an action's text: '&' marks the next letter as a mnemonic and is not
// drawn, "&&" draws one '&'.
std::string drawnText(const QAction& action) {
  const QString text = action.text();
  QString drawn;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      if (i + 1 < text.size() && text[i + 1] == u'&') drawn += u'&';
      ++i;
      if (i < text.size() && text[i] != u'&') drawn += text[i];
      continue;
    }
    drawn += text[i];
  }
  return drawn.toStdString();
}

// The launcher's menu, with actions that record what was chosen.
Menu launcherMenu(std::vector<std::string>& chosen) {
  Menu menu;
  menu.addItem("Open Lumivane", "o");
  menu.addItem("Connect Quest\u2026", "");
  menu.addSeparator();
  menu.addItem("Show Log", "");
  menu.addItem("Licences & Credits", "");
  menu.addSeparator();
  menu.addItem("Quit Lumivane", "q");
  for (MenuItem& item : menu.itemArray()) {
    if (!item.separator) item.action = [&chosen, title = item.title] { chosen.push_back(title); };
  }
  return menu;
}

TEST(StatusItem, TheMenuShowsTheEntriesInOrderAndChoosingOneRunsItsAction) {
  const auto before = menus();
  std::vector<std::string> chosen;
  auto item = desktop().statusItemWithLength(kSquareStatusItemLength);
  ASSERT_NE(item, nullptr);
  ASSERT_NE(item->button(), nullptr);
  item->setMenu(launcherMenu(chosen));

  std::vector<QMenu*> created;
  for (QMenu* menu : menus()) {
    if (std::find(before.begin(), before.end(), menu) == before.end()) created.push_back(menu);
  }
  ASSERT_EQ(created.size(), 1u);
  const QList<QAction*> actions = created.front()->actions();

  struct Expected {
    std::string title;
    bool separator;
    std::string shortcut;
  };
  const std::vector<Expected> expected{
      {"Open Lumivane", false, "Ctrl+O"}, {"Connect Quest\u2026", false, ""}, {"", true, ""},
      {"Show Log", false, ""}, {"Licences & Credits", false, ""}, {"", true, ""},
      {"Quit Lumivane", false, "Ctrl+Q"}};
  ASSERT_EQ(static_cast<std::size_t>(actions.size()), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    QAction* action = actions[static_cast<qsizetype>(i)];
    EXPECT_EQ(action->isSeparator(), expected[i].separator) << i;
    if (expected[i].separator) continue;
    EXPECT_EQ(drawnText(*action), expected[i].title) << i;
    EXPECT_EQ(action->shortcut().toString(QKeySequence::PortableText).toStdString(),
              expected[i].shortcut) << i;
    EXPECT_TRUE(action->isEnabled()) << i;
    action->trigger();
  }
  EXPECT_EQ(chosen, (std::vector<std::string>{"Open Lumivane", "Connect Quest\u2026", "Show Log",
                                              "Licences & Credits", "Quit Lumivane"}));

  // The item's menu goes with the item.
  item.reset();
  EXPECT_EQ(menus().size(), before.size());
}

TEST(StatusItem, AnItemWithoutAnActionIsDisabled) {
  auto item = desktop().statusItemWithLength(kSquareStatusItemLength);
  const auto before = menus();
  Menu menu;
  menu.addItem("No target", "");
  item->setMenu(std::move(menu));
  bool found = false;
  for (QMenu* qmenu : menus()) {
    for (QAction* action : qmenu->actions()) {
      if (action->text() == QStringLiteral("No target")) {
        found = true;
        EXPECT_FALSE(action->isEnabled());
      }
    }
  }
  EXPECT_TRUE(found);
}

struct ShortcutCase {
  std::string keyEquivalent;
  std::string shortcut;
};

TEST(StatusItem, KeyEquivalentsAreDrawnWithCtrl) {
  for (const auto& [key, shortcut] : std::vector<ShortcutCase>{
           {"o", "Ctrl+O"}, {"q", "Ctrl+Q"}, {"", ""}, {"O", "Ctrl+Shift+O"}, {",", "Ctrl+,"}}) {
    EXPECT_EQ(shortcutForKeyEquivalent(key).toString(QKeySequence::PortableText).toStdString(),
              shortcut)
        << "key equivalent '" << key << "'";
  }
}

// A picture file of one colour at the given size.
void writePicture(const std::filesystem::path& path, int side, QColor colour) {
  QImage image(side, side, QImage::Format_ARGB32);
  image.fill(colour);
  ASSERT_TRUE(image.save(QString::fromStdString(path.string()), "PNG"));
}

TEST(StatusItem, ImagesLoadOnlyFromReadablePictureFiles) {
  TemporaryDirectory dir;
  writePicture(dir / "MenuIcon.png", 18, Qt::black);
  writeFile(dir / "NotAPicture.png", "this is text, not a PNG");
  writeFile(dir / "Empty.png", "");
  EXPECT_NE(desktop().imageWithContentsOfURL(dir / "MenuIcon.png"), nullptr);
  EXPECT_EQ(desktop().imageWithContentsOfURL(dir / "Missing.png"), nullptr);
  EXPECT_EQ(desktop().imageWithContentsOfURL(dir / "NotAPicture.png"), nullptr);
  EXPECT_EQ(desktop().imageWithContentsOfURL(dir / "Empty.png"), nullptr);
  EXPECT_EQ(desktop().imageWithContentsOfURL(dir.path()), nullptr);
}

// The pixel colour the icon draws at a device pixel ratio, at its 18-point size.
QColor iconCentre(const QIcon& icon, qreal ratio) {
  const QPixmap pixmap = icon.pixmap(QSize(18, 18), ratio);
  const QImage image = pixmap.toImage();
  return image.pixelColor(image.width() / 2, image.height() / 2);
}

TEST(StatusItem, TheButtonShowsTheImageAtBothDensitiesAsATemplate) {
  TemporaryDirectory dir;
  // Drawn large and in two colours, to tell the variants apart and see the size applied.
  writePicture(dir / "MenuIcon.png", 64, Qt::red);
  writePicture(dir / "MenuIcon@2x.png", 128, Qt::blue);
  QSystemTrayIcon tray;
  TrayStatusButton button(tray);

  auto image = desktop().imageWithContentsOfURL(dir / "MenuIcon.png");
  ASSERT_NE(image, nullptr);
  image->setTemplate(true);
  image->setSize(18, 18);
  button.setImage(std::move(image));
  button.setToolTip("Lumivane");

  const QIcon icon = tray.icon();
  EXPECT_TRUE(icon.isMask());
  const QList<QSize> sizes = icon.availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(18, 18))) << "sizes: " << sizes.size();
  EXPECT_EQ(iconCentre(icon, 1.0), QColor(Qt::red));
  EXPECT_EQ(iconCentre(icon, 2.0), QColor(Qt::blue));
  EXPECT_EQ(icon.pixmap(QSize(18, 18), 2.0).size(), QSize(36, 36));
  EXPECT_EQ(tray.toolTip(), QStringLiteral("Lumivane"));
}

TEST(StatusItem, WithoutAVariantTheImageIsShownAtOneDensityAndNotAsTemplate) {
  TemporaryDirectory dir;
  writePicture(dir / "MenuIcon.png", 18, Qt::red);
  QSystemTrayIcon tray;
  TrayStatusButton button(tray);
  button.setImage(desktop().imageWithContentsOfURL(dir / "MenuIcon.png"));
  EXPECT_FALSE(tray.icon().isMask());
  EXPECT_EQ(iconCentre(tray.icon(), 1.0), QColor(Qt::red));
}

// How many pixels of an icon's picture at `side` pixels are drawn (not transparent).
int drawnPixels(const QIcon& icon, int side) {
  const QImage image = icon.pixmap(QSize(side, side)).toImage();
  int drawn = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) drawn += qAlpha(image.pixel(x, y)) > 0;
  }
  return drawn;
}

TEST(StatusItem, ATitleIsDrawnIntoTheIconUntilAnImageIsSet) {
  QSystemTrayIcon tray;
  TrayStatusButton button(tray);
  EXPECT_EQ(drawnPixels(button.currentIcon(), 18), 0) << "nothing set: a blank picture";
  button.setTitle("LV");
  const QIcon titled = tray.icon();
  const int drawn = drawnPixels(titled, 18);
  EXPECT_GT(drawn, 18) << "the letters are drawn";
  EXPECT_LT(drawn, 18 * 18) << "on a transparent square";
  EXPECT_GT(drawnPixels(titled, 36), drawn) << "and again at twice the density";

  TemporaryDirectory dir;
  writePicture(dir / "MenuIcon.png", 18, Qt::red);
  button.setImage(desktop().imageWithContentsOfURL(dir / "MenuIcon.png"));
  EXPECT_EQ(iconCentre(tray.icon(), 1.0), QColor(Qt::red)) << "the image wins over the title";
}

}  // namespace
}  // namespace lumivane::qt::testing
