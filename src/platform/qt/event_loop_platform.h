// What the desktop and the terminal platforms have in common: a Qt event loop as the main
// queue, the termination signals read on it, wall-clock time, POSIX child processes and
// files, the HTTP client, the single instance and the launch sequence. Each front end adds
// its status item, alerts, workspace and the way the process ends.
#pragma once

#include <functional>
#include <memory>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/platform.h"
#include "platform/posix/termination_signals.h"
#include "platform/qt/http_client.h"
#include "platform/qt/single_instance.h"

namespace lumivane::qt {

class EventLoopPlatform : public Platform {
 public:
  ~EventLoopPlatform() override;

  void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }

  // Asks the delegate (once at a time: a request while it answers is the same request) and,
  // on `Now`, ends the process.
  void terminate() override;

  void async(std::function<void()> work) override;
  void asyncAfter(Duration delay, std::function<void()> work) override;

  TimePoint now() override;
  void sleepFor(Duration duration) override;

  LaunchResult launch(ProcessDescription description) override;
  Environment environment() override;

  std::filesystem::path resourceURL() override;
  FileManager& defaultManager() override;

  void get(const std::string& url, Duration timeout, HttpCompletion completion) override;

 protected:
  // The termination signals are installed before `makeApplication` runs, so that every
  // thread Qt starts inherits their unblocked mask.
  explicit EventLoopPlatform(const std::function<std::unique_ptr<QCoreApplication>()>& makeApplication);

  // Claims the single instance; a later instance's request to open again reaches the
  // delegate once launching has finished.
  InstanceRole claimInstance();
  // Queues the launch (the delegate's `applicationDidFinishLaunching`) and runs the loop.
  int runEventLoop();

  // Ends the process at once with status 0 once termination is agreed. Other threads (the
  // process reaper, Qt's own) are still running: no static or Qt destructor may race them.
  [[noreturn]] virtual void endProcess() = 0;

  QCoreApplication* application() const { return app_.get(); }

 private:
  void deliverReopen();

  posix::TerminationSignals& signals_;
  std::unique_ptr<QCoreApplication> app_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  std::unique_ptr<HttpClient> http_;
  std::unique_ptr<SingleInstance> instance_;
  std::unique_ptr<FileManager> fileManager_;
  ApplicationDelegate* delegate_ = nullptr;
  bool answeringTermination_ = false;
  bool launched_ = false;
  bool reopenPending_ = false;
};

}  // namespace lumivane::qt
