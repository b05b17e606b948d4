// The workspace: URLs go to the desktop's opener (here a recording xdg-open first on PATH);
// files are shown through the session's FileManager1 service (here one of the test's own on
// the private bus), and without a usable service their folder is opened instead.
#include <string>
#include <vector>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

// What a file manager was asked to show; it answers with an error when told to.
class RecordingFileManager : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  explicit RecordingFileManager(bool fails) : fails_(fails) {}

  std::vector<QStringList> shown;
  std::vector<QString> startupIds;

 public Q_SLOTS:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    shown.push_back(uris);
    startupIds.push_back(startupId);
    if (fails_) sendErrorReply(QDBusError::Failed, QStringLiteral("cannot show that"));
  }

 private:
  bool fails_;
};

// The file manager service on a connection of its own, as another process would have it.
class FileManagerService {
 public:
  explicit FileManagerService(bool fails)
      : connection_(QDBusConnection::connectToBus(QString::fromStdString(desktopBusAddress()),
                                                  QStringLiteral("file-manager"))),
        manager_(fails) {
    registered_ = connection_.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager_,
                                             QDBusConnection::ExportAllSlots) &&
                  connection_.registerService(QStringLiteral("org.freedesktop.FileManager1"));
  }
  ~FileManagerService() {
    connection_.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    connection_.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("file-manager"));
  }
  bool registered() const { return registered_; }
  RecordingFileManager& manager() { return manager_; }

 private:
  QDBusConnection connection_;
  RecordingFileManager manager_;
  bool registered_ = false;
};

class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nothing left over from an earlier test.
    while (opened_.next(0ms)) {
    }
  }
  // The next thing the recording opener was asked to open.
  std::optional<std::string> nextOpened() { return opened_.next(kPatience, true); }

  LineReader opened_{openerLog()};
};

TEST_F(Workspace, OpenURLHandsTheUrlToTheDesktopOpener) {
  for (const std::string url : {"http://localhost:8000/", "http://localhost:8000/?pair=1",
                                "http://127.0.0.1:8000/licenses",
                                "http://localhost:8000/auth?token=a%2Fb&next=%2F%3Fpair%3D1"}) {
    EXPECT_TRUE(desktop().openURL(url)) << url;
    EXPECT_EQ(nextOpened(), url);
  }
}

TEST_F(Workspace, OpenURLRefusesWhatIsNotAWebAddress) {
  // Not URLs, relative references, and schemes whose handler would be some other program.
  for (const std::string text : {"", "http://local host:8000/", "http://[::1/", "/login?next=/",
                                 "file:///etc/passwd", "javascript:alert(1)",
                                 "x-scheme-handler:run", "mailto:a@b.example"}) {
    EXPECT_FALSE(desktop().openURL(text)) << text;
  }
  // Nothing reached the opener: the next line is the marker opened after them.
  ASSERT_TRUE(desktop().openURL("http://localhost:8000/marker"));
  EXPECT_EQ(nextOpened(), "http://localhost:8000/marker");
}

// A log path with a blank and a non-ASCII letter, and its URI written out by hand.
struct LogFile {
  TemporaryDirectory root;
  std::filesystem::path folder = root / "Logs" / "Lumi vane";
  std::filesystem::path file = folder / "lumivane é.log";
  std::string folderUri = "file://" + root.path().string() + "/Logs/Lumi%20vane";
  std::string fileUri = folderUri + "/lumivane%20%C3%A9.log";
};

TEST_F(Workspace, RevealAsksTheFileManagerToShowTheFileSelected) {
  if (desktopBusAddress().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  FileManagerService service(/*fails=*/false);
  ASSERT_TRUE(service.registered());
  LogFile log;  // the file need not exist

  desktop().activateFileViewerSelectingURLs({log.file});
  ASSERT_TRUE(spinUntil([&] { return !service.manager().shown.empty(); }));
  EXPECT_EQ(service.manager().shown.front(), QStringList{QString::fromStdString(log.fileUri)});
  EXPECT_EQ(service.manager().startupIds.front(), QString());

  // The folder is not opened as well: the first thing the opener sees is a later marker.
  spinFor(500ms);
  ASSERT_TRUE(desktop().openURL("http://localhost:8000/marker"));
  EXPECT_EQ(nextOpened(), "http://localhost:8000/marker");
  EXPECT_EQ(service.manager().shown.size(), 1u);
}

TEST_F(Workspace, RevealOpensTheFolderWhenNoFileManagerServiceIsThere) {
  if (desktopBusAddress().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  LogFile log;
  desktop().activateFileViewerSelectingURLs({log.file});
  EXPECT_EQ(nextOpened(), log.folderUri);
}

TEST_F(Workspace, RevealOpensTheFolderWhenTheFileManagerAnswersWithAnError) {
  if (desktopBusAddress().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  FileManagerService service(/*fails=*/true);
  ASSERT_TRUE(service.registered());
  LogFile log;
  desktop().activateFileViewerSelectingURLs({log.file});
  EXPECT_EQ(nextOpened(), log.folderUri);
  EXPECT_EQ(service.manager().shown.size(), 1u);
}

TEST_F(Workspace, RevealDoesNotHoldUpTheMainThread) {
  if (desktopBusAddress().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  // The file manager answers from this thread's event loop: a blocking call would never see
  // the answer before its own timeout.
  FileManagerService service(/*fails=*/false);
  ASSERT_TRUE(service.registered());
  LogFile log;
  const auto start = std::chrono::steady_clock::now();
  desktop().activateFileViewerSelectingURLs({log.file});
  EXPECT_TRUE(service.manager().shown.empty()) << "answered before the call returned";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(spinUntil([&] { return !service.manager().shown.empty(); }));
}

}  // namespace
}  // namespace lumivane::qt::testing

#include "qt_workspace_test.moc"
