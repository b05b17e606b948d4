// The status item, its menu of five commands, and the two commands that are not pages.
#include <array>

#include "shell/launcher.h"

namespace lumivane {

namespace {

struct Entry {
  const char* title;  // nullptr: a separator
  const char* keyEquivalent;
  void (Launcher::*action)();
};

}  // namespace

void Launcher::buildMenu() {
  item = platform.statusItemWithLength(kSquareStatusItemLength);

  if (StatusButton* button = item->button()) {
    if (std::unique_ptr<Image> image = platform.imageWithContentsOfURL(resources / "MenuIcon.png")) {
      image->setTemplate(true);
      image->setSize(18, 18);
      button->setImage(std::move(image));
    } else {
      button->setTitle("LV");
    }
    button->setToolTip("Lumivane");
  }

  const std::array<Entry, 7> entries{{
      {"Open Lumivane", "o", &Launcher::openMain},
      {"Connect Quest\u2026", "", &Launcher::openPairing},
      {nullptr, "", nullptr},
      {"Show Log", "", &Launcher::showLog},
      {"Licences & Credits", "", &Launcher::openCredits},
      {nullptr, "", nullptr},
      {"Quit Lumivane", "q", &Launcher::quit},
  }};

  Menu menu;
  for (const Entry& entry : entries) {
    if (entry.title) {
      menu.addItem(entry.title, entry.keyEquivalent);
    } else {
      menu.addSeparator();
    }
  }
  // The launcher is every item's target.
  std::vector<MenuItem>& items = menu.itemArray();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].separator) continue;
    items[i].action = [this, action = entries[i].action] { (this->*action)(); };
  }
  item->setMenu(std::move(menu));
}

void Launcher::showLog() { platform.activateFileViewerSelectingURLs({logURL()}); }

void Launcher::quit() { platform.terminate(); }

}  // namespace lumivane
