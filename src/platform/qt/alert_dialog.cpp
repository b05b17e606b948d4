// See alert_dialog.h.
#include "platform/qt/alert_dialog.h"

#include <algorithm>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace lumivane::qt {

int runAlert(const Alert& alert) {
  QMessageBox box;
  box.setWindowTitle(QStringLiteral("Lumivane"));
  box.setIcon(QMessageBox::Warning);
  box.setText(QString::fromStdString(alert.messageText));
  box.setInformativeText(QString::fromStdString(alert.informativeText));
  // No window of our own is ever in front; without this the box may open behind the browser.
  box.setWindowFlag(Qt::WindowStaysOnTopHint);

  const std::vector<std::string> titles =
      alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  std::vector<QAbstractButton*> buttons;
  for (const std::string& title : titles) {
    // One role for all keeps the buttons in the order they were added.
    buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
  }
  box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  // Without an escape button a box of several buttons ignores Escape and refuses to close.
  box.setEscapeButton(buttons.back());

  QTimer::singleShot(0, &box, [&box] {
    box.raise();
    box.activateWindow();
  });
  box.exec();

  const auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
  const auto index = chosen == buttons.end() ? buttons.size() - 1
                                             : static_cast<std::size_t>(chosen - buttons.begin());
  return kAlertFirstButtonReturn + static_cast<int>(index);
}

}  // namespace lumivane::qt
