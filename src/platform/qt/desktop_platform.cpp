// The platform on a Linux desktop. Qt supplies the application object and its event loop
// (which is the main queue), the tray, alerts, HTTP and the session bus; the POSIX helpers
// supply child processes, files, the termination signals and the instance lock.
//
// The application has no window: it lives in the tray, so closing its last alert must not
// quit it. Termination requests from the menu, from SIGTERM/SIGINT/SIGHUP and from the end
// of the desktop session all go through `terminate`, which asks the delegate and, on `Now`,
// ends the process with _exit: other threads (the process reaper, Qt's own) are still
// running, and static and Qt destructors must not race them.
#include "platform/qt/desktop_platform.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <system_error>
#include <thread>
#include <utility>

#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#include "platform/posix/files.h"
#include "platform/posix/process.h"
#include "platform/posix/process_info.h"
#include "platform/posix/termination_signals.h"
#include "platform/qt/alert_dialog.h"
#include "platform/qt/http_client.h"
#include "platform/qt/single_instance.h"
#include "platform/qt/tray_status_item.h"
#include "platform/qt/workspace.h"


namespace lumivane {

namespace {

// Ends the process at once with `status`, after the file manager has had every reveal asked
// for and stdio has been flushed.
[[noreturn]] void exitNow(int status) {
  qt::finishPendingReveals();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(status);
}

class DesktopPlatform final : public Platform {
 public:
  DesktopPlatform(int& argc, char** argv)
      : signals_(posix::TerminationSignals::install()), app_(makeApplication(argc, argv)) {
    signalNotifier_ = std::make_unique<QSocketNotifier>(signals_.readDescriptor(), QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, app_.get(), [this] {
      for ([[maybe_unused]] int signal : signals_.drain()) terminate();
    });
#if QT_CONFIG(sessionmanager)
    // The desktop session is ending: the session manager asks us to save; we have nothing to
    // save but the server to stop.
    QObject::connect(app_.get(), &QGuiApplication::commitDataRequest, app_.get(),
                     [this](QSessionManager&) { terminate(); });
#endif
    // Whoever makes the event loop quit, the server is stopped first.
    QObject::connect(app_.get(), &QCoreApplication::aboutToQuit, app_.get(), [this] { terminate(); });
    http_ = std::make_unique<qt::HttpClient>();
  }

  ~DesktopPlatform() override {
    // Qt objects go before the application object.
    http_.reset();
    instance_.reset();
    signalNotifier_.reset();
  }

  // --- Application ---

  void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }

  bool setActivationPolicy(ActivationPolicy policy) override {
    // An accessory never opens a window here, so there is no taskbar entry to hide.
    policy_ = policy;
    return true;
  }

  int run() override {
    instance_ = std::make_unique<qt::SingleInstance>([this] { deliverReopen(); });
    // A later instance ends here, before launching, the same way the first one ends.
    switch (instance_->claim()) {
      case qt::InstanceRole::HandedOff:
        exitNow(0);
      case qt::InstanceRole::Unreachable:
        std::fprintf(stderr, "lumivane: another instance is running but did not answer\n");
        exitNow(1);
      case qt::InstanceRole::Primary:
        break;
    }
    QMetaObject::invokeMethod(
        app_.get(),
        [this] {
          if (delegate_) delegate_->applicationDidFinishLaunching();
          launched_ = true;
          if (reopenPending_) {
            reopenPending_ = false;
            deliverReopen();
          }
        },
        Qt::QueuedConnection);
    return app_->exec();
  }

  void terminate() override {
    if (answeringTermination_) return;
    TerminateReply reply = TerminateReply::Now;
    if (delegate_) {
      answeringTermination_ = true;
      reply = delegate_->applicationShouldTerminate();
      answeringTermination_ = false;
    }
    // `Later` would need a reply call to come back; nothing here asks for it, so it is
    // treated as `Cancel`.
    if (reply == TerminateReply::Now) exitNow(0);
  }

  void activateIgnoringOtherApps() override {
    // Nothing to bring forward: there is no window, and each alert raises itself.
  }

  // --- Main queue ---

  void async(std::function<void()> work) override {
    // Posted events keep their order, and posting is safe from any thread.
    QMetaObject::invokeMethod(app_.get(), std::move(work), Qt::QueuedConnection);
  }

  void asyncAfter(Duration delay, std::function<void()> work) override {
    // Rounded up, so that work never runs before its delay has passed.
    const auto ms = std::max<std::chrono::milliseconds::rep>(
        0, std::chrono::ceil<std::chrono::milliseconds>(delay).count());
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, app_.get(), std::move(work));
  }

  // --- Time ---

  TimePoint now() override { return WallClock::now(); }
  void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }

  // --- Status bar ---

  std::unique_ptr<StatusItem> statusItemWithLength(double /*length*/) override {
    // A tray icon is always square; the length has nothing to set.
    return std::make_unique<qt::TrayStatusItem>();
  }

  std::unique_ptr<Image> imageWithContentsOfURL(const std::filesystem::path& path) override {
    return qt::FileImage::load(path);
  }

  // --- Alerts ---

  int runModal(const Alert& alert) override { return qt::runAlert(alert); }

  // --- Workspace ---

  bool openURL(const std::string& url) override { return qt::openInBrowser(url); }

  void activateFileViewerSelectingURLs(const std::vector<std::filesystem::path>& urls) override {
    qt::revealInFileViewer(urls);
  }

  // --- Processes ---

  LaunchResult launch(ProcessDescription description) override {
    return posix::spawnProcess(std::move(description));
  }

  Environment environment() override { return posix::processEnvironment(); }

  // --- Files ---

  std::filesystem::path resourceURL() override { return posix::bundleResourceDirectory(); }

  FileManager& defaultManager() override {
    if (!fileManager_) fileManager_ = posix::makeFileManager(environment());
    return *fileManager_;
  }

  // --- HTTP ---

  void get(const std::string& url, Duration timeout, HttpCompletion completion) override {
    http_->get(url, timeout, std::move(completion));
  }

 private:
  static std::unique_ptr<QApplication> makeApplication(int& argc, char** argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumivane"));
    // Alerts are the only windows; the last one closing leaves the tray icon running.
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
  }

  void deliverReopen() {
    // A request that arrives before launching has finished waits for it.
    if (!launched_) {
      reopenPending_ = true;
      return;
    }
    if (delegate_) delegate_->applicationShouldHandleReopen(false);
  }

  posix::TerminationSignals& signals_;
  std::unique_ptr<QApplication> app_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  std::unique_ptr<qt::HttpClient> http_;
  std::unique_ptr<qt::SingleInstance> instance_;
  std::unique_ptr<FileManager> fileManager_;
  ApplicationDelegate* delegate_ = nullptr;
  ActivationPolicy policy_ = ActivationPolicy::Regular;
  bool answeringTermination_ = false;
  bool launched_ = false;
  bool reopenPending_ = false;
};

}  // namespace

std::unique_ptr<Platform> makeDesktopPlatform(int& argc, char** argv) {
  return std::make_unique<DesktopPlatform>(argc, argv);
}

}  // namespace lumivane
