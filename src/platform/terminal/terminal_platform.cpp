// The platform in a terminal. Qt's core application supplies the event loop (the main
// queue) and the network; the POSIX helpers supply child processes, files, the termination
// signals; the single instance is the desktop backend's, which falls back to a lock file and
// a local socket where there is no session bus.
//
// Standard input is the keyboard of the menu while it is a terminal: single key presses, no
// echo. An alert takes it over for a line, with the terminal's own modes back. Without a
// terminal nobody can answer, so an alert is printed and dismissed: a server that stops at
// once then leads to quitting, never to starting it again unattended.
//
// As on the desktop, a termination on `Now` ends the process with _exit, after putting the
// terminal back the way the user had it.
#include "platform/terminal/terminal_platform.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <utility>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>
#include <QUrl>

#include "platform/qt/event_loop_platform.h"
#include "platform/terminal/prompts.h"
#include "platform/terminal/terminal_mode.h"


namespace lumivane {

namespace {

constexpr int kInput = STDIN_FILENO;
// What an alert returns when nobody could answer it: no button.
constexpr int kAlertDismissed = -1;

[[noreturn]] void exitNow() {
  terminal::restoreTerminal();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(0);
}

void say(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

// The menu as keys on standard input. Owned by the platform; the status item hands it the
// menu and takes it back when it goes.
class KeyMenu {
 public:
  void show(Menu menu) {
    menu_ = std::move(menu);
    say(terminal::menuKeysLine(menu_) + "\n");
    if (!notifier_ && terminal::enterKeyMode(kInput)) {
      notifier_ = std::make_unique<QSocketNotifier>(kInput, QSocketNotifier::Read);
      QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                       [this] { readKeys(); });
    }
  }

  void clear() {
    menu_ = Menu();
    notifier_.reset();
    terminal::restoreTerminal();
  }

  // An alert reads lines meanwhile: no key presses, the user's own modes.
  void pause() {
    if (!notifier_) return;
    notifier_->setEnabled(false);
    terminal::restoreTerminal();
  }

  void resume() {
    if (!notifier_) return;
    terminal::enterKeyMode(kInput);
    notifier_->setEnabled(true);
  }

 private:
  void readKeys() {
    char keys[64];
    const ssize_t count = ::read(kInput, keys, sizeof keys);
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) {
      // The terminal hung up; SIGHUP brings the termination.
      notifier_->setEnabled(false);
      return;
    }
    for (ssize_t i = 0; i < count; ++i) {
      const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(keys[i])));
      std::function<void()> action;
      for (const MenuItem& item : menu_.itemArray()) {
        if (item.enabled() && terminal::menuKeyForTitle(item.title) == key) action = item.action;
      }
      // A copy: the action may replace the menu, or run an alert that reads the terminal.
      if (action) action();
    }
  }

  Menu menu_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

class TerminalStatusItem final : public StatusItem {
 public:
  explicit TerminalStatusItem(KeyMenu& keys) : keys_(keys) {}
  ~TerminalStatusItem() override { keys_.clear(); }

  // A terminal has no picture, title or tool tip to show.
  StatusButton* button() override { return nullptr; }
  void setMenu(Menu menu) override { keys_.show(std::move(menu)); }

 private:
  KeyMenu& keys_;
};

// Reads one answer to an alert from the terminal, keeping the event loop running.
int askOnTerminal(const Alert& alert) {
  const std::string prompt = terminal::alertPrompt(alert.buttons);
  say(prompt);
  std::optional<int> answer;
  std::string pending;
  QEventLoop loop;
  QSocketNotifier notifier(kInput, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
    char bytes[256];
    const ssize_t count = ::read(kInput, bytes, sizeof bytes);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count <= 0) {
      // End of input: nobody is there to answer.
      say("\n");
      answer = kAlertDismissed;
      notifier.setEnabled(false);
      loop.quit();
      return;
    }
    pending.append(bytes, static_cast<std::size_t>(count));
    std::size_t newline;
    while (!answer && (newline = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      answer = terminal::parseAlertAnswer(line, alert.buttons.size());
      if (!answer) say(prompt);
    }
    if (answer) {
      notifier.setEnabled(false);
      loop.quit();
    }
  });
  loop.exec();
  return *answer;
}

class TerminalPlatform final : public qt::EventLoopPlatform {
 public:
  TerminalPlatform(int& argc, char** argv)
      : EventLoopPlatform([&] {
          auto app = std::make_unique<QCoreApplication>(argc, argv);
          QCoreApplication::setApplicationName(QStringLiteral("Lumivane"));
          return app;
        }) {}

  ~TerminalPlatform() override { keys_.clear(); }

  // --- Application ---

  bool setActivationPolicy(ActivationPolicy /*policy*/) override {
    // There are no windows in a terminal to keep out of a taskbar.
    return true;
  }

  int run() override {
    switch (claimInstance()) {
      case qt::InstanceRole::HandedOff:
        say("lumivane: already running; asked it to open its page again\n");
        return 0;
      case qt::InstanceRole::Unreachable:
        say("lumivane: another instance is running but did not answer\n");
        return 1;
      case qt::InstanceRole::Primary:
        break;
    }
    const int status = runEventLoop();
    terminal::restoreTerminal();
    return status;
  }

  void activateIgnoringOtherApps() override {}

  // --- Status bar ---

  std::unique_ptr<StatusItem> statusItemWithLength(double /*length*/) override {
    return std::make_unique<TerminalStatusItem>(keys_);
  }

  std::unique_ptr<Image> imageWithContentsOfURL(const std::filesystem::path& /*path*/) override {
    return nullptr;
  }

  // --- Alerts ---

  int runModal(const Alert& alert) override {
    say("\n" + alert.messageText + "\n");
    if (!alert.informativeText.empty()) say(alert.informativeText + "\n");
    if (!terminal::ownsTerminal(kInput)) {
      say("(no terminal to answer on: dismissed)\n");
      return kAlertDismissed;
    }
    keys_.pause();
    const int answer = askOnTerminal(alert);
    keys_.resume();
    return answer;
  }

  // --- Workspace ---

  bool openURL(const std::string& url) override {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
      return false;
    }
    say("Open " + url + " in your browser\n");
    // Someone named a browser that works from here (a text browser, a forwarding script).
    const char* browser = std::getenv("BROWSER");
    if (browser != nullptr && *browser != '\0') {
      QProcess::startDetached(QStringLiteral("xdg-open"), {parsed.toString(QUrl::FullyEncoded)});
    }
    return true;
  }

  void activateFileViewerSelectingURLs(const std::vector<std::filesystem::path>& urls) override {
    for (const auto& url : urls) say("Log: " + url.string() + "\n");
  }


 private:
  [[noreturn]] void endProcess() override { exitNow(); }

  KeyMenu keys_;
};

}  // namespace

std::unique_ptr<Platform> makeTerminalPlatform(int& argc, char** argv) {
  return std::make_unique<TerminalPlatform>(argc, argv);
}

}  // namespace lumivane
