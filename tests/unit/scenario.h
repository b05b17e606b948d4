// The fixture of the scenario tests: one launcher on a fake platform, driven in virtual time,
// and the few helpers that keep the tests short. Every scenario ends by checking that the
// launcher kept the platform's contract: no call after the process ended, none off the main
// thread, no return from a termination that ended the process.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "shell/launcher.h"

namespace lumivane::scenario {

using namespace std::chrono_literals;
using fake::AlertReply;
using fake::FakeChildScript;
using fake::FakeHttpAnswer;
using fake::FakePlatform;

// Milliseconds of virtual time since the fake's epoch: readable in assertions and failures.
inline long long msAt(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t - FakePlatform::epoch()).count();
}

inline long long ms(Duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// HTTP scripts.
inline fake::HttpScript always(FakeHttpAnswer answer) {
  return [answer](TimePoint) { return answer; };
}
// Nothing listens until `from` after the epoch; from then on the server answers `status`.
inline fake::HttpScript answersFrom(Duration from, int status) {
  return [from, status](TimePoint sentAt) {
    return sentAt - FakePlatform::epoch() >= from ? FakeHttpAnswer::withStatus(status)
                                                  : FakeHttpAnswer::refused();
  };
}

// Children.
inline FakeChildScript exitsAfter(Duration after, int status = 0) {
  FakeChildScript script;
  script.exitAfter = after;
  script.exitStatus = status;
  return script;
}
inline FakeChildScript failsToLaunch(std::string description) {
  FakeChildScript script;
  script.launchError = std::move(description);
  return script;
}

// The texts the user reads.
inline constexpr const char* kCouldNotStart = "Lumivane couldn't start";
inline constexpr const char* kTryAgain = "\n\nTry downloading Lumivane again.";
inline constexpr const char* kSlowStart = "Lumivane is taking a long time to start";
inline constexpr const char* kSlowStartInfo =
    "It may still be loading. Choose Open Lumivane from the menu bar in a minute, or Show Log to "
    "see what's happening.";
inline constexpr const char* kStopped = "Lumivane stopped unexpectedly";
inline constexpr const char* kStoppedInfo =
    "Your videos are safe. You can start it again, or look at the log to see what happened.";

inline constexpr const char* kProbe = "http://127.0.0.1:8000/login";
inline constexpr const char* kMainPage = "http://localhost:8000/";

class Scenario : public ::testing::Test {
 protected:
  Scenario() : launcher(std::make_shared<Launcher>(fake)) { fake.setDelegate(launcher.get()); }

  void TearDown() override { EXPECT_THAT(fake.violations(), ::testing::IsEmpty()); }

  // applicationDidFinishLaunching and whatever it sets off at that moment.
  void launchApp() {
    fake.launch();
    fake.runUntilIdle();
  }

  LauncherState state() const { return launcher->state(); }

  std::vector<long long> requestTimes() const {
    std::vector<long long> times;
    for (const auto& request : fake.requests()) times.push_back(msAt(request.sentAt));
    return times;
  }
  std::vector<std::string> openedURLs() const {
    std::vector<std::string> urls;
    for (const auto& opened : fake.openedURLs()) urls.push_back(opened.url);
    return urls;
  }
  std::vector<std::string> alertMessages() const {
    std::vector<std::string> messages;
    for (const auto& alert : fake.alerts()) messages.push_back(alert.alert.messageText);
    return messages;
  }
  std::shared_ptr<fake::FakeProcess> child(std::size_t index) const {
    return index < fake.launches().size() ? fake.launches()[index].process : nullptr;
  }

  std::filesystem::path logPath() { return fake.files().library() / "Logs/Lumivane/lumivane.log"; }
  std::filesystem::path handOffPath() {
    return fake.files().applicationSupport() / "Lumivane/data/launch.json";
  }
  void writeHandOff(const std::string& contents) {
    std::filesystem::create_directories(handOffPath().parent_path());
    std::ofstream(handOffPath(), std::ios::binary | std::ios::trunc) << contents;
  }

  FakePlatform fake;
  std::shared_ptr<Launcher> launcher;
};

}  // namespace lumivane::scenario
