// One running instance per user session. The first instance owns the session-bus name
// io.lumivane.Launcher and serves Reopen() at /io/lumivane/Launcher; a later one calls Reopen
// on it and ends. Without a session bus the same is done with a lock file and a local socket
// in $XDG_RUNTIME_DIR (or /tmp, named after the user id). Both die with the first instance,
// however it ends, so the next start after a crash becomes the first instance at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QString>

#include "platform/posix/instance_lock.h"

class QLocalServer;

namespace lumivane::qt {

enum class InstanceRole {
  Primary,    // this process is the one instance; reopen requests will reach it
  HandedOff,  // another instance runs and has been asked to reopen
  Unreachable,  // another instance holds the name but did not take the request
};

class SingleInstance final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "io.lumivane.Launcher")

 public:
  // `onReopen` runs on the main thread, from the event loop, for every request that reaches
  // the first instance.
  explicit SingleInstance(std::function<void()> onReopen);
  ~SingleInstance() override;

  // Decides the role; call once, on the main thread, before the event loop runs. Blocks for
  // at most a few seconds while another instance is asked.
  InstanceRole claim();

 public Q_SLOTS:
  // The D-Bus method. Answers at once and hands the request to the event loop, so that the
  // caller is not kept waiting for what the request sets off.
  void Reopen();

 private:
  InstanceRole claimOnBus();
  InstanceRole claimWithLock();
  void listen(const QString& socketPath);

  std::function<void()> onReopen_;
  std::optional<posix::InstanceLock> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace lumivane::qt
