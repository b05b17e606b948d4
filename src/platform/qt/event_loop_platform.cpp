#include "platform/qt/event_loop_platform.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include <QMetaObject>
#include <QTimer>

#include "platform/posix/files.h"
#include "platform/posix/process.h"
#include "platform/posix/process_info.h"

namespace lumivane::qt {

EventLoopPlatform::EventLoopPlatform(
    const std::function<std::unique_ptr<QCoreApplication>()>& makeApplication)
    : signals_(posix::TerminationSignals::install()), app_(makeApplication()) {
  signalNotifier_ = std::make_unique<QSocketNotifier>(signals_.readDescriptor(), QSocketNotifier::Read);
  QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, app_.get(), [this] {
    for ([[maybe_unused]] int signal : signals_.drain()) terminate();
  });
  // Whoever makes the event loop quit, the server is stopped first.
  QObject::connect(app_.get(), &QCoreApplication::aboutToQuit, app_.get(), [this] { terminate(); });
  http_ = std::make_unique<HttpClient>();
}

EventLoopPlatform::~EventLoopPlatform() {
  // Qt objects go before the application object.
  http_.reset();
  instance_.reset();
  signalNotifier_.reset();
}

void EventLoopPlatform::terminate() {
  if (answeringTermination_) return;
  TerminateReply reply = TerminateReply::Now;
  if (delegate_) {
    answeringTermination_ = true;
    reply = delegate_->applicationShouldTerminate();
    answeringTermination_ = false;
  }
  // `Later` would need a reply call to come back; nothing here asks for it, so it is
  // treated as `Cancel`.
  if (reply == TerminateReply::Now) endProcess();
}

InstanceRole EventLoopPlatform::claimInstance() {
  instance_ = std::make_unique<SingleInstance>([this] { deliverReopen(); });
  return instance_->claim();
}

int EventLoopPlatform::runEventLoop() {
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

void EventLoopPlatform::deliverReopen() {
  // A request that arrives before launching has finished waits for it.
  if (!launched_) {
    reopenPending_ = true;
    return;
  }
  if (delegate_) delegate_->applicationShouldHandleReopen(false);
}

// --- Main queue ---

void EventLoopPlatform::async(std::function<void()> work) {
  // Posted events keep their order, and posting is safe from any thread.
  QMetaObject::invokeMethod(app_.get(), std::move(work), Qt::QueuedConnection);
}

void EventLoopPlatform::asyncAfter(Duration delay, std::function<void()> work) {
  // Rounded up, so that work never runs before its delay has passed.
  const auto ms = std::max<std::chrono::milliseconds::rep>(
      0, std::chrono::ceil<std::chrono::milliseconds>(delay).count());
  QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, app_.get(), std::move(work));
}

// --- Time ---

TimePoint EventLoopPlatform::now() { return WallClock::now(); }

void EventLoopPlatform::sleepFor(Duration duration) { std::this_thread::sleep_for(duration); }

// --- Processes ---

LaunchResult EventLoopPlatform::launch(ProcessDescription description) {
  return posix::spawnProcess(std::move(description));
}

Environment EventLoopPlatform::environment() { return posix::processEnvironment(); }

// --- Files ---

std::filesystem::path EventLoopPlatform::resourceURL() { return posix::bundleResourceDirectory(); }

FileManager& EventLoopPlatform::defaultManager() {
  if (!fileManager_) fileManager_ = posix::makeFileManager(environment());
  return *fileManager_;
}

// --- HTTP ---

void EventLoopPlatform::get(const std::string& url, Duration timeout, HttpCompletion completion) {
  http_->get(url, timeout, std::move(completion));
}

}  // namespace lumivane::qt
