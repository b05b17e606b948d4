// The one object that holds all of the launcher's state and behaviour. The platform calls it
// on the main thread: the three application events, the menu actions, and the work that the
// launcher's own callbacks post back to the main queue. Its methods are implemented beside
// the subsystem they belong to (src/supervision, src/menubar); the state lives here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace lumivane {

// The served application's port, and the base of every page address opened in the browser
// (no trailing slash).
extern const std::int64_t port;
extern const std::string base;

// Fixed time limits.
inline constexpr Duration kProbeTimeout = std::chrono::milliseconds(1500);
inline constexpr Duration kReprobePause = std::chrono::milliseconds(500);
inline constexpr Duration kStartupDeadline = std::chrono::seconds(240);
inline constexpr Duration kGracePeriod = std::chrono::seconds(6);
inline constexpr Duration kPollInterval = std::chrono::milliseconds(100);

// The hand-off file is read whole on the main thread; a larger one is treated as unreadable.
inline constexpr std::size_t kHandOffFileMaxBytes = 64 * 1024;

// A read-only view of the launcher's state, for diagnostics and tests.
struct LauncherState {
  bool hasItem = false;
  bool hasServer = false;
  bool quitting = false;
  bool opened = false;
};

// Must be owned by a std::shared_ptr: the child's termination handler holds it weakly.
class Launcher final : public ApplicationDelegate, public std::enable_shared_from_this<Launcher> {
 public:
  explicit Launcher(Platform& platform);
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  void applicationDidFinishLaunching() override;
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
  TerminateReply applicationShouldTerminate() override;

  LauncherState state() const;

 private:
  // Menu actions, reached through the status item's menu.
  void openMain();
  void openPairing();
  void openCredits();
  void showLog();
  void quit();

  void buildMenu();
  void open(const std::string& path);
  void startServer();
  void serverAnswers(std::function<void(bool)> answer);
  void waitForServer(TimePoint until);
  void serverEnded(std::int32_t status);

  // Per-user paths, computed at the first read and then kept.
  const std::filesystem::path& appHome();
  const std::filesystem::path& logURL();

  // Brings the application to the front, then runs the alert modally.
  int runAlert(const Alert& alert);

  Platform& platform;
  std::unique_ptr<StatusItem> item;
  std::shared_ptr<Process> server;
  bool quitting = false;
  bool opened = false;
  const std::filesystem::path resources;
  FileManager& fm;
  std::optional<std::filesystem::path> storedAppHome;
  std::optional<std::filesystem::path> storedLogURL;
};

}  // namespace lumivane
