// See workspace.h.
#include "platform/qt/workspace.h"

#include <list>
#include <set>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QProcess>
#include <QStringList>
#include <QUrl>

namespace lumivane::qt {

namespace {

// Long enough for a file manager that D-Bus starts on demand.
constexpr int kShowItemsTimeoutMs = 10000;

// Qt's desktop services, which add what the session needs (a portal inside a sandbox, an
// activation token under Wayland); on a display plugin without them (offscreen, minimal),
// xdg-open directly.
bool open(const QUrl& url) {
  if (QDesktopServices::openUrl(url)) return true;
  return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

void openFolders(const std::vector<std::filesystem::path>& files) {
  std::set<std::filesystem::path> folders;
  for (const auto& file : files) folders.insert(file.parent_path());
  for (const auto& folder : folders) open(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

struct PendingReveal {
  QDBusPendingCallWatcher* watcher;
  std::vector<std::filesystem::path> files;
};

// Reveals sent and not yet answered, on the main thread only.
std::list<PendingReveal>& pendingReveals() {
  static std::list<PendingReveal> pending;
  return pending;
}

}  // namespace

bool openInBrowser(const std::string& url) {
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid()) return false;
  const QString scheme = parsed.scheme().toLower();
  if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return false;
  return open(parsed);
}

void revealInFileViewer(const std::vector<std::filesystem::path>& files) {
  if (files.empty()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    openFolders(files);
    return;
  }
  QStringList uris;
  for (const auto& file : files) {
    uris << QUrl::fromLocalFile(QString::fromStdString(file.string()))
                .toString(QUrl::FullyEncoded);
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << uris << QString();  // no start-up notification id
  auto* watcher =
      new QDBusPendingCallWatcher(bus.asyncCall(call, kShowItemsTimeoutMs), QCoreApplication::instance());
  auto& pending = pendingReveals();
  const auto entry = pending.insert(pending.end(), PendingReveal{watcher, files});
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [watcher, entry](QDBusPendingCallWatcher*) {
                     if (watcher->isError()) openFolders(entry->files);
                     pendingReveals().erase(entry);
                     watcher->deleteLater();
                   });
}

void finishPendingReveals() {
  auto& pending = pendingReveals();
  while (!pending.empty()) {
    PendingReveal reveal = std::move(pending.front());
    pending.pop_front();
    reveal.watcher->disconnect();
    reveal.watcher->waitForFinished();
    if (reveal.watcher->isError()) openFolders(reveal.files);
  }
}

}  // namespace lumivane::qt
