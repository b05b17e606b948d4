// The one interface through which the launcher reaches the operating system: the application
// and its event loop, the main queue, time, the status item and its menu, alerts, the
// workspace (browser and file viewer), child processes, files, the environment and HTTP.
//
// Threading contract. Every call here is made on the main thread, the one that runs `run()`,
// except `MainQueue::async`, which may be called from any thread. The platform calls back on
// the main thread (delegate messages, menu actions, main-queue work, timers), with two
// exceptions that say so at their declaration: a process's termination handler and the HTTP
// completion may run on another thread; whoever receives them posts to the main queue before
// touching state. No call throws; failures are returned as empty results or `false`.
//
// The desktop backend is made by a factory in src/platform/qt; the tests use a fake with a
// virtual clock. Neither this header nor its users see Qt or OS types.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumivane {

// Wall-clock time. The fake's virtual clock and the real clock share this type.
using WallClock = std::chrono::system_clock;
using TimePoint = WallClock::time_point;
using Duration = std::chrono::nanoseconds;

// A process environment: variable name to value.
using Environment = std::map<std::string, std::string>;

// --- Application -------------------------------------------------------------------------

// What `applicationShouldTerminate` answers.
enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

// Receives the application's lifecycle events, on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  // The user started the application again while it runs. The result says whether the
  // platform should go on with its own handling (there is none here).
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
  // Every termination request ends here: `Application::terminate`, signals, session end.
  virtual TerminateReply applicationShouldTerminate() = 0;
};

enum class ActivationPolicy { Regular = 0, Accessory = 1, Prohibited = 2 };

// --- Status item and menu ----------------------------------------------------------------

// A loaded picture for the status button.
class Image {
 public:
  virtual ~Image() = default;
  // A template image is a mask drawn in the status bar's own colour.
  virtual void setTemplate(bool isTemplate) = 0;
  // Size in points (device-independent pixels).
  virtual void setSize(double width, double height) = 0;
};

// One entry of a menu: an item with a title, a key equivalent ("" for none, drawn with the
// platform's default modifier) and an action, or a separator.
struct MenuItem {
  bool separator = false;
  std::string title;
  std::string keyEquivalent;
  // Sent to the item's target when the user chooses the item, on the main thread. Empty
  // until a target is set: an item without a target is disabled.
  std::function<void()> action;
  bool enabled() const { return !separator && static_cast<bool>(action); }
};

// A menu as a plain list of entries; the status item shows it as given.
class Menu {
 public:
  // Adds an item without a target yet; `itemArray` reaches it to set one.
  void addItem(std::string title, std::string keyEquivalent) {
    items_.push_back(MenuItem{false, std::move(title), std::move(keyEquivalent), {}});
  }
  void addSeparator() { items_.push_back(MenuItem{true, {}, {}, {}}); }
  std::vector<MenuItem>& itemArray() { return items_; }
  const std::vector<MenuItem>& itemArray() const { return items_; }

 private:
  std::vector<MenuItem> items_;
};

// The clickable part of a status item.
class StatusButton {
 public:
  virtual ~StatusButton() = default;
  virtual void setImage(std::unique_ptr<Image> image) = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setToolTip(const std::string& toolTip) = 0;
};

// One item in the system status bar (the tray). It stays there while the object lives.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  // The item's button, or null when this status bar gives items no button.
  virtual StatusButton* button() = 0;
  // A click on the item opens this menu.
  virtual void setMenu(Menu menu) = 0;
};

// Width of a status item as wide as the status bar is high.
inline constexpr double kSquareStatusItemLength = -2;

// --- Alerts ------------------------------------------------------------------------------

// A modal alert: message, informative text and zero to three buttons in the order added.
struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

// Results of `runModal`: the first, second and third button added.
inline constexpr int kAlertFirstButtonReturn = 1000;
inline constexpr int kAlertSecondButtonReturn = 1001;
inline constexpr int kAlertThirdButtonReturn = 1002;

// --- Processes ---------------------------------------------------------------------------

// An open file, written to by the launcher and handed to a child as its output.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // Moves the position to the end of the file. False on an I/O error.
  virtual bool seekToEndOfFile() = 0;
  // Writes all of `bytes`, in one write where the system allows. False on an I/O error.
  virtual bool writeData(std::string_view bytes) = 0;
};

// A child process after a successful launch.
class Process {
 public:
  virtual ~Process() = default;
  // True until the child has exited. Accurate at any moment, also while the main thread
  // sleeps: it does not wait for main-thread work.
  virtual bool isRunning() const = 0;
  // Sends SIGINT to the child and everything it started.
  virtual void interrupt() = 0;
  // Sends SIGTERM to the child and everything it started. Returns at once.
  virtual void terminate() = 0;
  // The exit code of a child that exited, or the signal number of one killed by a signal.
  // Meaningful once `isRunning` is false.
  virtual int terminationStatus() const = 0;
};

// Called once, after the child has exited, on a background thread, with the process.
using TerminationHandler = std::function<void(std::shared_ptr<Process>)>;

// What to start. Nothing is inherited but what is named here and standard input.
struct ProcessDescription {
  std::filesystem::path executableURL;
  std::vector<std::string> arguments;  // after argv[0], which is the executable's path
  std::filesystem::path currentDirectoryURL;
  Environment environment;  // the child's whole environment
  // Empty: inherit the launcher's. The same handle may be given to both.
  std::shared_ptr<FileHandle> standardOutput;
  std::shared_ptr<FileHandle> standardError;
  TerminationHandler terminationHandler;
};

// The result of a launch: a running process, or a readable description of what failed (then
// no child exists and the termination handler is never called).
struct LaunchResult {
  std::shared_ptr<Process> process;
  std::string localizedDescription;
};

// --- Files -------------------------------------------------------------------------------

// Directory kinds and domains of `urlsForDirectory`.
enum class SearchPathDirectory { Library = 5, ApplicationSupport = 14 };
enum class SearchPathDomain { User = 1 };

class FileManager {
 public:
  virtual ~FileManager() = default;
  // The directories of a kind in a domain, whether or not they exist; may be empty.
  virtual std::vector<std::filesystem::path> urlsForDirectory(SearchPathDirectory directory,
                                                              SearchPathDomain domain) = 0;
  // Creates the directory (and, if asked, every missing parent). True when it exists after.
  virtual bool createDirectory(const std::filesystem::path& path, bool withIntermediates) = 0;
  // True when anything exists at the path, a directory or a dangling link included.
  virtual bool fileExistsAtPath(const std::filesystem::path& path) = 0;
  // Creates a file with `contents` and, when given, these POSIX permissions. Never follows a
  // link into a new file elsewhere. False when it could not.
  virtual bool createFileAtPath(const std::filesystem::path& path, std::string_view contents,
                                std::optional<unsigned> posixPermissions) = 0;
  // Opens an existing file for writing, positioned at the start; never creates or truncates.
  // Null when the file is absent or cannot be opened for writing. Writes always land at
  // the end of the file (append mode), so no second writer's bytes are ever overwritten.
  virtual std::shared_ptr<FileHandle> fileHandleForWritingToURL(
      const std::filesystem::path& path) = 0;
  // Reads the whole file, if it is a regular file of at most `maxBytes` bytes. Empty when it
  // is missing, unreadable, not a regular file or larger.
  virtual std::optional<std::string> contentsOfFile(const std::filesystem::path& path,
                                                    std::size_t maxBytes) = 0;
};

// --- HTTP --------------------------------------------------------------------------------

// What an HTTP request came back with: the status code of an HTTP response, or nothing when
// no HTTP response arrived (refused, timed out, reset, not HTTP).
struct HttpResult {
  std::optional<int> statusCode;
};

// Called once per request, possibly on another thread.
using HttpCompletion = std::function<void(HttpResult)>;

// --- The platform ------------------------------------------------------------------------

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // Application. The delegate is not owned and must outlive `run`.
  virtual void setDelegate(ApplicationDelegate* delegate) = 0;
  // Accessory: no window, no taskbar or dock entry, while the status item and alerts work.
  virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
  // Runs the event loop on the calling (main) thread; calls
  // `applicationDidFinishLaunching` first. Returns only if the loop is ever left.
  virtual int run() = 0;
  // Asks the delegate whether to terminate; on `Now` the process exits with status 0 and
  // this call does not return. A request made while one is being answered is dropped.
  virtual void terminate() = 0;
  // Brings the application to the front, ahead of other applications.
  virtual void activateIgnoringOtherApps() = 0;

  // Main queue. `async` may be called from any thread; work runs in order on the main thread.
  virtual void async(std::function<void()> work) = 0;
  // Runs `work` on the main thread once `delay` has passed on the dispatch clock.
  virtual void asyncAfter(Duration delay, std::function<void()> work) = 0;

  // Time. `now` is the wall-clock date; `sleepFor` blocks the calling thread.
  virtual TimePoint now() = 0;
  virtual void sleepFor(Duration duration) = 0;

  // Status bar. The item stays in the status bar while the returned object lives.
  virtual std::unique_ptr<StatusItem> statusItemWithLength(double length) = 0;
  // Null when the file is missing or not an image.
  virtual std::unique_ptr<Image> imageWithContentsOfURL(const std::filesystem::path& path) = 0;

  // Runs the alert modally: returns when the user has dismissed it, with 1000, 1001 or 1002
  // for the button chosen, or another value when nobody could answer; main-queue work and
  // timers go on running meanwhile. With no button the alert shows one default button.
  virtual int runModal(const Alert& alert) = 0;

  // Workspace. Opens an http(s) URL in the default browser; shows files selected in the file
  // viewer. The results say whether the request was handed on; callers may ignore them.
  virtual bool openURL(const std::string& url) = 0;
  virtual void activateFileViewerSelectingURLs(const std::vector<std::filesystem::path>& urls) = 0;

  // Processes.
  virtual LaunchResult launch(ProcessDescription description) = 0;
  // This process's own environment.
  virtual Environment environment() = 0;

  // Files.
  // The resource directory of the application's own bundle.
  virtual std::filesystem::path resourceURL() = 0;
  virtual FileManager& defaultManager() = 0;

  // HTTP GET of `url` with no body and no headers of its own. `completion` is called once,
  // possibly on another thread, when a response arrived or the request failed or took
  // longer than `timeout`.
  virtual void get(const std::string& url, Duration timeout, HttpCompletion completion) = 0;
};

}  // namespace lumivane
