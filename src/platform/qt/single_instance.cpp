// See single_instance.h.
#include "platform/qt/single_instance.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>
#include <QThread>

namespace lumivane::qt {

namespace {

const QString kServiceName = QStringLiteral("io.lumivane.Launcher");
const QString kObjectPath = QStringLiteral("/io/lumivane/Launcher");
const QString kInterfaceName = QStringLiteral("io.lumivane.Launcher");
const QByteArray kReopenLine = QByteArrayLiteral("reopen\n");

// How long a later instance waits for the first one to take its request. The first answers
// from its event loop, which a graceful stop of the server may hold for about six seconds.
constexpr int kHandOffTimeoutMs = 10000;
// How many times a later instance tries again when the first one ended between the two steps.
constexpr int kClaimAttempts = 3;
// Without a bus: how long to keep trying to reach a first instance that holds the lock but is
// not listening yet, and the pause between tries.
constexpr auto kLockedSocketWait = std::chrono::seconds(3);
constexpr auto kLockedSocketRetry = std::chrono::milliseconds(50);

struct RuntimePaths {
  QString lock;
  QString socket;
};

RuntimePaths runtimePaths() {
  const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!dir.isEmpty()) {
    return {dir + QStringLiteral("/lumivane.lock"), dir + QStringLiteral("/lumivane.sock")};
  }
  const QString base = QStringLiteral("/tmp/lumivane-%1").arg(::getuid());
  return {base + QStringLiteral(".lock"), base + QStringLiteral(".sock")};
}

// Whether a failed Reopen call means that the first instance has ended in the meantime (and
// the name may be taken now), rather than that it is there but did not answer in time.
bool ownerIsGone(QDBusConnection& bus, const QDBusMessage& answer) {
  const QString name = answer.errorName();
  if (name == QDBusError::errorString(QDBusError::ServiceUnknown) ||
      name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner")) {
    return true;
  }
  // No reply: either the owner left without answering or it is too busy to answer.
  return name == QDBusError::errorString(QDBusError::NoReply) &&
         !bus.interface()->isServiceRegistered(kServiceName).value();
}

bool sendReopen(const QString& socketPath) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(1000)) return false;
  socket.write(kReopenLine);
  if (!socket.waitForBytesWritten(1000)) return false;
  socket.disconnectFromServer();
  return true;
}

}  // namespace

SingleInstance::SingleInstance(std::function<void()> onReopen) : onReopen_(std::move(onReopen)) {}

SingleInstance::~SingleInstance() = default;

InstanceRole SingleInstance::claim() {
  if (QDBusConnection::sessionBus().isConnected()) return claimOnBus();
  return claimWithLock();
}

void SingleInstance::Reopen() {
  QMetaObject::invokeMethod(
      this, [this] { if (onReopen_) onReopen_(); }, Qt::QueuedConnection);
}

InstanceRole SingleInstance::claimOnBus() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  // The object is in place before the name is taken, so the first caller finds it.
  bus.registerObject(kObjectPath, this, QDBusConnection::ExportAllSlots);
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered =
        bus.interface()->registerService(kServiceName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!registered.isValid()) {
      // The bus is there but will not talk about names; keep to the bus-less way.
      bus.unregisterObject(kObjectPath);
      return claimWithLock();
    }
    if (registered.value() == QDBusConnectionInterface::ServiceRegistered) return InstanceRole::Primary;

    QDBusMessage call =
        QDBusMessage::createMethodCall(kServiceName, kObjectPath, kInterfaceName, QStringLiteral("Reopen"));
    const QDBusMessage answer = bus.call(call, QDBus::Block, kHandOffTimeoutMs);
    if (answer.type() == QDBusMessage::ReplyMessage) {
      bus.unregisterObject(kObjectPath);
      return InstanceRole::HandedOff;
    }
    if (!ownerIsGone(bus, answer)) break;
  }
  bus.unregisterObject(kObjectPath);
  return InstanceRole::Unreachable;
}

InstanceRole SingleInstance::claimWithLock() {
  const RuntimePaths paths = runtimePaths();
  const QDeadlineTimer deadline(std::chrono::duration_cast<std::chrono::milliseconds>(kLockedSocketWait));
  for (;;) {
    lock_ = posix::InstanceLock::acquire(paths.lock.toStdString());
    if (lock_) {
      listen(paths.socket);
      return InstanceRole::Primary;
    }
    if (sendReopen(paths.socket)) return InstanceRole::HandedOff;
    if (deadline.hasExpired()) break;
    // The lock holder is still starting (it listens just after locking) or just ended.
    QThread::msleep(static_cast<unsigned long>(kLockedSocketRetry.count()));
  }
  // The lock cannot be had, yet nobody listens behind it: the lock file is unusable (say, a
  // missing runtime directory), not held by a live instance. Run without the guard.
  std::fprintf(stderr, "lumivane: cannot take %s; running without the single-instance guard\n",
               qPrintable(paths.lock));
  return InstanceRole::Primary;
}

void SingleInstance::listen(const QString& socketPath) {
  // Whatever socket file is left belongs to an instance that has ended: the lock is ours.
  QLocalServer::removeServer(socketPath);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socketPath)) {
    std::fprintf(stderr, "lumivane: cannot listen on %s: %s\n", qPrintable(socketPath),
                 qPrintable(server_->errorString()));
    return;
  }
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      const auto readRequests = [this, peer] {
        while (peer->canReadLine()) {
          if (peer->readLine() == kReopenLine && onReopen_) onReopen_();
        }
      };
      connect(peer, &QLocalSocket::readyRead, this, readRequests);
      // A caller that wrote and left at once: its line is read before the socket goes.
      connect(peer, &QLocalSocket::disconnected, this, [peer, readRequests] {
        readRequests();
        peer->deleteLater();
      });
      readRequests();
    }
  });
}

}  // namespace lumivane::qt
