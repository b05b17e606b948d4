// A tiny program on the desktop platform for the tests that need processes of their own (the
// single instance, termination signals). Its delegate writes each event as a line to
// standard output: "launched <pid>", "reopen", "terminate", "answered".
//
// LUMIVANE_TEST_TERMINATE_DELAY_MS: how long applicationShouldTerminate sleeps before it
//   answers, as the graceful stop of the server does.
// LUMIVANE_TEST_TERMINATE_REPLY: "now" (the default), "cancel" or "later".
// Standard input takes commands, one per line: "terminate" (as the menu's Quit does) and
// "quit" (leaves the event loop, as the end of a desktop session may), "resources" (answers
// "resources <path>") and "env <NAME>" (answers "env <value>" or "env unset").
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/qt/desktop_platform.h"

namespace {

void say(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
}

class RecordingDelegate final : public lumivane::ApplicationDelegate {
 public:
  explicit RecordingDelegate(lumivane::Platform& platform) : platform_(platform) {}

  void applicationDidFinishLaunching() override {
    say("launched " + std::to_string(::getpid()));
    commands_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(commands_.get(), &QSocketNotifier::activated, [this] { readCommands(); });
  }

  bool applicationShouldHandleReopen(bool) override {
    say("reopen");
    return false;
  }

  lumivane::TerminateReply applicationShouldTerminate() override {
    say("terminate");
    if (const char* delay = std::getenv("LUMIVANE_TEST_TERMINATE_DELAY_MS")) {
      platform_.sleepFor(std::chrono::milliseconds(std::atoi(delay)));
    }
    say("answered");
    const char* reply = std::getenv("LUMIVANE_TEST_TERMINATE_REPLY");
    if (reply && std::strcmp(reply, "cancel") == 0) return lumivane::TerminateReply::Cancel;
    if (reply && std::strcmp(reply, "later") == 0) return lumivane::TerminateReply::Later;
    return lumivane::TerminateReply::Now;
  }

 private:
  void readCommands() {
    char chunk[256];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
      commands_->setEnabled(false);
      return;
    }
    pending_.append(chunk, static_cast<std::size_t>(got));
    for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
      const std::string command = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (command == "terminate") platform_.terminate();
      if (command == "quit") QCoreApplication::quit();
      if (command == "resources") say("resources " + platform_.resourceURL().string());
      if (command.rfind("env ", 0) == 0) {
        const lumivane::Environment environment = platform_.environment();
        const auto found = environment.find(command.substr(4));
        say(found == environment.end() ? "env unset" : "env " + found->second);
      }
    }
  }

  lumivane::Platform& platform_;
  std::unique_ptr<QSocketNotifier> commands_;
  std::string pending_;
};

}  // namespace

int main(int argc, char** argv) {
  auto platform = lumivane::makeDesktopPlatform(argc, argv);
  RecordingDelegate delegate(*platform);
  platform->setDelegate(&delegate);
  platform->setActivationPolicy(lumivane::ActivationPolicy::Accessory);
  const int status = platform->run();
  say("run returned " + std::to_string(status));
  return status;
}
