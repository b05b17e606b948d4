// One instance per session, with processes of the test program: a later start hands a
// reopen request to the first and ends with status 0 without launching; after the first is
// killed with SIGKILL the next start launches at once. With a session bus and without one.
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QObject>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

struct InstanceCase {
  const char* name;
  bool withBus;
};

// Names the case in test listings.
inline void PrintTo(const InstanceCase& c, std::ostream* os) { *os << c.name; }

class SingleInstance : public ::testing::TestWithParam<InstanceCase> {
 protected:
  void SetUp() override {
    runtime_ = dir_ / "run";
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    std::string address = "unix:path=" + (dir_ / "no-bus").string();
    if (GetParam().withBus) {
      if (!PrivateBus::available()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
      bus_.emplace(dir_.path());
      ASSERT_FALSE(bus_->address().empty());
      address = bus_->address();
    }
    environment_ = {{"PATH", "/usr/bin:/bin"},
                    {"HOME", dir_.path().string()},
                    {"XDG_RUNTIME_DIR", runtime_.string()},
                    {"QT_QPA_PLATFORM", "offscreen"},
                    {"DBUS_SESSION_BUS_ADDRESS", address}};
  }

  std::unique_ptr<Child> start() {
    return std::make_unique<Child>(LUMIVANE_QT_TEST_APP, std::vector<std::string>{}, environment_);
  }

  static bool launched(Child& app, std::chrono::milliseconds patience = kPatience) {
    const auto line = app.output().next(patience);
    return line && line->rfind("launched ", 0) == 0;
  }

  // Starts a later instance and checks that it hands over and ends without launching.
  void expectHandOverTo(Child& first) {
    auto later = start();
    ASSERT_TRUE(later->started());
    const auto status = later->waitForExit();
    ASSERT_TRUE(status.has_value()) << "the later instance did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    // Neither launched nor back from run(): it ended inside.
    EXPECT_EQ(later->output().rest(), std::vector<std::string>{});
    EXPECT_EQ(first.output().next(), "reopen");
  }

  TemporaryDirectory dir_;
  std::filesystem::path runtime_;
  std::optional<PrivateBus> bus_;
  Environment environment_;
};

TEST_P(SingleInstance, ALaterInstanceHandsReopenToTheFirstAndEnds) {
  auto first = start();
  ASSERT_TRUE(launched(*first));
  expectHandOverTo(*first);
  expectHandOverTo(*first);
  // The bus-less way leaves its lock file; with a bus, nothing is written.
  EXPECT_EQ(std::filesystem::exists(runtime_ / "lumivane.lock"), !GetParam().withBus);
}

TEST_P(SingleInstance, AfterTheFirstIsKilledTheNextStartLaunchesAtOnce) {
  auto first = start();
  ASSERT_TRUE(launched(*first));
  first->signal(SIGKILL);
  ASSERT_TRUE(first->waitForExit().has_value());
  if (!GetParam().withBus) {
    // What the killed instance left behind: the next start must not be fooled by it.
    EXPECT_TRUE(std::filesystem::exists(runtime_ / "lumivane.sock"));
  }

  const auto started = std::chrono::steady_clock::now();
  auto next = start();
  ASSERT_TRUE(launched(*next, 10s));
  const auto took = std::chrono::steady_clock::now() - started;
  std::printf("%s: the next instance launched %lld ms after start\n", GetParam().name,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  expectHandOverTo(*next);
}

INSTANTIATE_TEST_SUITE_P(Instances, SingleInstance,
                         ::testing::Values(InstanceCase{"SessionBus", true},
                                           InstanceCase{"NoBus", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A first instance played by the test: it owns the name and counts the Reopen calls, and
// answers them or fails them.
class FirstInstance : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "io.lumivane.Launcher")

 public:
  explicit FirstInstance(bool fails) : fails_(fails) {}
  int reopened = 0;

 public Q_SLOTS:
  void Reopen() {
    ++reopened;
    if (fails_) sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not now"));
  }

 private:
  bool fails_;
};

struct HandOffCase {
  const char* name;
  bool fails;
  int exitStatus;
};

inline void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }

class HandOff : public ::testing::TestWithParam<HandOffCase> {};

TEST_P(HandOff, ALaterInstanceCallsReopenOnTheNamesOwnerAndEnds) {
  if (desktopBusAddress().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
  QDBusConnection connection = QDBusConnection::connectToBus(
      QString::fromStdString(desktopBusAddress()), QStringLiteral("first-instance"));
  FirstInstance first(GetParam().fails);
  ASSERT_TRUE(connection.registerObject(QStringLiteral("/io/lumivane/Launcher"), &first,
                                        QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(connection.registerService(QStringLiteral("io.lumivane.Launcher")));

  TemporaryDirectory dir;
  Child later(LUMIVANE_QT_TEST_APP, {},
              {{"PATH", "/usr/bin:/bin"},
               {"HOME", dir.path().string()},
               {"XDG_RUNTIME_DIR", dir.path().string()},
               {"QT_QPA_PLATFORM", "offscreen"},
               {"DBUS_SESSION_BUS_ADDRESS", desktopBusAddress()}});
  ASSERT_TRUE(later.started());
  // The call is answered from this thread's event loop, so wait for the exit with it running.
  const std::optional<int> status = later.waitForExitRunningEventLoop();
  ASSERT_TRUE(status.has_value()) << "the later instance did not end";
  EXPECT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  EXPECT_EQ(WEXITSTATUS(*status), GetParam().exitStatus);
  EXPECT_EQ(first.reopened, 1);
  EXPECT_EQ(later.output().rest(), std::vector<std::string>{}) << "it must not launch";

  connection.unregisterService(QStringLiteral("io.lumivane.Launcher"));
  QDBusConnection::disconnectFromBus(QStringLiteral("first-instance"));
}

INSTANTIATE_TEST_SUITE_P(FirstInstances, HandOff,
                         ::testing::Values(HandOffCase{"Answers", false, 0},
                                           HandOffCase{"Fails", true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumivane::qt::testing

#include "qt_instance_test.moc"
