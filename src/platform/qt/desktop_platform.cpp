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

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <QApplication>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#include "platform/qt/alert_dialog.h"
#include "platform/qt/event_loop_platform.h"
#include "platform/qt/tray_status_item.h"
#include "platform/qt/workspace.h"


namespace lumivane {

namespace {

class DesktopPlatform final : public qt::EventLoopPlatform {
 public:
  DesktopPlatform(int& argc, char** argv)
      : EventLoopPlatform([&] { return makeApplication(argc, argv); }) {
#if QT_CONFIG(sessionmanager)
    // The desktop session is ending: the session manager asks us to save; we have nothing to
    // save but the server to stop.
    QObject::connect(static_cast<QGuiApplication*>(application()),
                     &QGuiApplication::commitDataRequest, application(),
                     [this](QSessionManager&) { terminate(); });
#endif
  }

  // --- Application ---

  bool setActivationPolicy(ActivationPolicy /*policy*/) override {
    // An accessory never opens a window here, so there is no taskbar entry to hide.
    return true;
  }

  int run() override {
    // A later instance ends here, before launching, the same way the first one ends.
    switch (claimInstance()) {
      case qt::InstanceRole::HandedOff:
        endProcessWith(0);
      case qt::InstanceRole::Unreachable:
        std::fprintf(stderr, "lumivane: another instance is running but did not answer\n");
        endProcessWith(1);
      case qt::InstanceRole::Primary:
        break;
    }
    return runEventLoop();
  }

  void activateIgnoringOtherApps() override {
    // Nothing to bring forward: there is no window, and each alert raises itself.
  }

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

 private:
  static std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) {
    // A display that looked usable may still refuse us (an X server that rejects the
    // connection, a compositor that went away). Qt then reports a fatal message and aborts,
    // which would leave a core dump for what is a problem of the session. Its message is kept
    // and the process ends with status 1 instead.
    previousMessageHandler = qInstallMessageHandler(failWithoutDisplay);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previousMessageHandler);
    QApplication::setApplicationName(QStringLiteral("Lumivane"));
    // Alerts are the only windows; the last one closing leaves the tray icon running.
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
  }

  static void failWithoutDisplay(QtMsgType type, const QMessageLogContext& context,
                                 const QString& message) {
    if (type != QtFatalMsg) {
      if (previousMessageHandler) previousMessageHandler(type, context, message);
      return;
    }
    std::fprintf(stderr, "%s\nlumivane: the display could not be used (DISPLAY=\"%s\", "
                 "WAYLAND_DISPLAY=\"%s\")\n",
                 message.toLocal8Bit().constData(), valueOrEmpty("DISPLAY"),
                 valueOrEmpty("WAYLAND_DISPLAY"));
    std::fflush(stderr);
    ::_exit(1);
  }

  static const char* valueOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
  }

  static inline QtMessageHandler previousMessageHandler = nullptr;

  [[noreturn]] void endProcess() override { endProcessWith(0); }

  // Ends the process at once with `status`, after the file manager has had every reveal
  // asked for and stdio has been flushed.
  [[noreturn]] static void endProcessWith(int status) {
    qt::finishPendingReveals();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::_exit(status);
  }
};

}  // namespace

std::unique_ptr<Platform> makeDesktopPlatform(int& argc, char** argv) {
  return std::make_unique<DesktopPlatform>(argc, argv);
}

}  // namespace lumivane
