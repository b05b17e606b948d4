// The least a Qt tray program can be: a QApplication, a QSystemTrayIcon and a five-item
// QMenu. The benchmark runs it beside Lumivane, started the same way in the same session, as
// the yardstick for idle cost and start-up time.
//
//   baseline_tray ICON.png [--alerts]
//
// Once the event loop runs, a zero-timer prints "loop <seconds since the epoch>" on standard
// output. With --alerts, every line read on standard input shows one modal QMessageBox
// titled "Lumivane" (what Lumivane shows when its server stops), and "closed" is printed when
// it has been dismissed: the yardstick for what showing alerts over and over costs Qt itself.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

void printNow(const char* what) {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const double seconds = std::chrono::duration<double>(since).count();
  std::printf("%s %.6f\n", what, seconds);
  std::fflush(stdout);
}

void showAlert() {
  QMessageBox box;
  box.setWindowTitle(QStringLiteral("Lumivane"));
  box.setIcon(QMessageBox::Warning);
  box.setText(QStringLiteral("Baseline stopped unexpectedly"));
  box.setInformativeText(QStringLiteral("A yardstick alert with three buttons."));
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  auto* first = box.addButton(QStringLiteral("Start Again"), QMessageBox::AcceptRole);
  box.addButton(QStringLiteral("Show Log"), QMessageBox::AcceptRole);
  auto* last = box.addButton(QStringLiteral("Quit"), QMessageBox::AcceptRole);
  box.setDefaultButton(first);
  box.setEscapeButton(last);
  QTimer::singleShot(0, &box, [&box] {
    box.raise();
    box.activateWindow();
  });
  box.exec();
  printNow("closed");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const bool alerts = argc > 2 && std::strcmp(argv[2], "--alerts") == 0;

  QMenu menu;
  menu.addAction(QStringLiteral("Open Lumivane"));
  menu.addAction(QStringLiteral("Connect Quest\u2026"));
  menu.addSeparator();
  menu.addAction(QStringLiteral("Show Log"));
  menu.addAction(QStringLiteral("Licences & Credits"));
  menu.addSeparator();
  QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app,
                   &QApplication::quit);

  QSystemTrayIcon tray;
  tray.setIcon(QIcon(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString()));
  tray.setToolTip(QStringLiteral("Baseline"));
  tray.setContextMenu(&menu);
  tray.show();

  QSocketNotifier* input = nullptr;
  if (alerts) {
    input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QObject::connect(input, &QSocketNotifier::activated, &app, [input] {
      char buffer[256];
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) {
        input->setEnabled(false);
        QApplication::quit();
        return;
      }
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') showAlert();
      }
    });
  }

  QTimer::singleShot(0, &app, [] { printNow("loop"); });
  return app.exec();
}
