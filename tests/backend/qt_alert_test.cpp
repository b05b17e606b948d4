// Alerts: a real message box, found when it is shown and driven by clicks and keys as a user
// would; the result says which button was chosen, and the main queue runs while it is up.
#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

// Calls `act` with each message box as soon as it has been shown (from the event loop, so
// the box's own modal loop is running by then). A box still up long after is a failure, and
// is closed so that the test ends.
class WhenAlertShown : public QObject {
 public:
  explicit WhenAlertShown(std::function<void(QMessageBox&)> act) : act_(std::move(act)) {
    qApp->installEventFilter(this);
  }
  ~WhenAlertShown() override { qApp->removeEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* box = qobject_cast<QMessageBox*>(watched)) {
        QPointer<QMessageBox> guarded(box);
        QTimer::singleShot(0, this, [this, guarded] {
          if (guarded) act_(*guarded);
        });
        QTimer::singleShot(kPatience, this, [guarded] {
          if (!guarded || !guarded->isVisible()) return;
          ADD_FAILURE() << "the alert was not dismissed";
          guarded->close();
        });
      }
    }
    return false;
  }

 private:
  std::function<void(QMessageBox&)> act_;
};

QAbstractButton* buttonTitled(QMessageBox& box, const std::string& title) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == QString::fromStdString(title)) return button;
  }
  return nullptr;
}

std::vector<std::string> titlesLeftToRight(QMessageBox& box) {
  const QList<QAbstractButton*> all = box.buttons();
  std::vector<QAbstractButton*> buttons(all.begin(), all.end());
  std::sort(buttons.begin(), buttons.end(), [](QAbstractButton* a, QAbstractButton* b) {
    return a->mapToGlobal(QPoint(0, 0)).x() < b->mapToGlobal(QPoint(0, 0)).x();
  });
  std::vector<std::string> titles;
  for (QAbstractButton* button : buttons) titles.push_back(button->text().toStdString());
  return titles;
}

const Alert kStoppedAlert{"Lumivane stopped unexpectedly", "See the log for details.",
                          {"Start Again", "Show Log", "Quit"}};

struct ClickCase {
  std::string button;
  int expected;
};

// Names the case in test listings.
inline void PrintTo(const ClickCase& c, std::ostream* os) { *os << c.button; }

class AlertButtons : public ::testing::TestWithParam<ClickCase> {};

TEST_P(AlertButtons, ClickingAButtonReturnsItsPosition) {
  std::string shownText, shownInformative, shownTitle, defaultButton;
  std::vector<std::string> order;
  WhenAlertShown clicker([&](QMessageBox& box) {
    shownText = box.text().toStdString();
    shownInformative = box.informativeText().toStdString();
    shownTitle = box.windowTitle().toStdString();
    if (box.defaultButton()) defaultButton = box.defaultButton()->text().toStdString();
    order = titlesLeftToRight(box);
    if (QAbstractButton* button = buttonTitled(box, GetParam().button)) button->click();
  });
  EXPECT_EQ(desktop().runModal(kStoppedAlert), GetParam().expected);
  EXPECT_EQ(shownText, kStoppedAlert.messageText);
  EXPECT_EQ(shownInformative, kStoppedAlert.informativeText);
  EXPECT_EQ(shownTitle, "Lumivane");
  EXPECT_EQ(defaultButton, "Start Again");
  EXPECT_EQ(order, kStoppedAlert.buttons);
}

INSTANTIATE_TEST_SUITE_P(Alerts, AlertButtons,
                         ::testing::Values(ClickCase{"Start Again", kAlertFirstButtonReturn},
                                           ClickCase{"Show Log", kAlertSecondButtonReturn},
                                           ClickCase{"Quit", kAlertThirdButtonReturn}),
                         [](const auto& info) {
                           std::string name = info.param.button;
                           name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                           return name;
                         });

TEST(Alerts, WithoutButtonsTheAlertHasOneOkButton) {
  std::vector<std::string> titles;
  WhenAlertShown clicker([&](QMessageBox& box) {
    titles = titlesLeftToRight(box);
    if (QAbstractButton* ok = buttonTitled(box, "OK")) ok->click();
  });
  EXPECT_EQ(desktop().runModal(Alert{"Lumivane is taking a while to start", "Use the menu.", {}}),
            kAlertFirstButtonReturn);
  EXPECT_EQ(titles, std::vector<std::string>{"OK"});
}

TEST(Alerts, ReturnChoosesTheFirstButtonAndEscapeOrClosingTheLast) {
  const auto dismissWith = [](std::function<void(QMessageBox&)> dismiss, const Alert& alert) {
    WhenAlertShown dismisser(std::move(dismiss));
    return desktop().runModal(alert);
  };
  const auto press = [](int key) {
    return [key](QMessageBox& box) {
      QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(&box, &down);
    };
  };
  const Alert two{"Lumivane couldn't start", "", {"Show Log", "Quit"}};
  EXPECT_EQ(dismissWith(press(Qt::Key_Return), kStoppedAlert), kAlertFirstButtonReturn);
  EXPECT_EQ(dismissWith(press(Qt::Key_Escape), kStoppedAlert), kAlertThirdButtonReturn);
  EXPECT_EQ(dismissWith(press(Qt::Key_Escape), two), kAlertSecondButtonReturn);
  EXPECT_EQ(dismissWith([](QMessageBox& box) { box.close(); }, kStoppedAlert),
            kAlertThirdButtonReturn);
}

TEST(Alerts, MainQueueWorkAndTimersRunWhileTheAlertIsUp) {
  std::vector<std::string> ran;
  WhenAlertShown clicker([&](QMessageBox& box) {
    // Posted from another thread, and a timer: both must run before the user answers.
    QPointer<QMessageBox> guarded(&box);
    std::thread([&ran] { desktop().async([&ran] { ran.push_back("async"); }); }).join();
    desktop().asyncAfter(50ms, [&ran, guarded] {
      ran.push_back("timer");
      if (guarded) {
        if (QAbstractButton* button = buttonTitled(*guarded, "Show Log")) button->click();
      }
    });
  });
  EXPECT_EQ(desktop().runModal(kStoppedAlert), kAlertSecondButtonReturn);
  EXPECT_EQ(ran, (std::vector<std::string>{"async", "timer"}));
}

TEST(Alerts, TheAlertIsModalAndRaised) {
  bool modal = false, onTop = false, active = false;
  WhenAlertShown clicker([&](QMessageBox& box) {
    modal = QApplication::activeModalWidget() == &box;
    onTop = box.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    active = spinUntil([&] { return box.isActiveWindow(); }, 5s);
    if (QAbstractButton* button = buttonTitled(box, "Quit")) button->click();
  });
  desktop().activateIgnoringOtherApps();
  EXPECT_EQ(desktop().runModal(kStoppedAlert), kAlertThirdButtonReturn);
  EXPECT_TRUE(modal);
  EXPECT_TRUE(onTop);
  EXPECT_TRUE(active);
}

}  // namespace
}  // namespace lumivane::qt::testing
