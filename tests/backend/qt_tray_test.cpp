// The status item as a desktop tray host sees it: on an X display (Xvfb) with a private session
// bus and a StatusNotifierWatcher of the test's own, the item registers itself once and
// publishes its tooltip, its picture and its menu over D-Bus; a click on a menu entry, sent
// as a tray host sends it, runs the entry's action. A test process of its own, since the
// application object decides at start-up which display and which tray it uses.
#include <mutex>
#include <string>
#include <vector>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QImage>
#include <QThread>

#include <gtest/gtest.h>

#include "platform/qt/desktop_platform.h"
#include "qt_support.h"

namespace lumivane::qt::testing {

// The watcher a tray host (a panel) runs. It lives on a thread of its own: Qt asks it, with a
// blocking call from the main thread, whether a host is there before it makes its first tray
// icon.
class StatusNotifierWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

 public:
  bool isHostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  QStringList registeredItems() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

 public Q_SLOTS:
  void RegisterStatusNotifierItem(const QString& service) {
    std::lock_guard lock(mutex_);
    items_ << service;
  }
  void RegisterStatusNotifierHost(const QString&) {}

 Q_SIGNALS:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  mutable std::mutex mutex_;
  QStringList items_;
};

// Hangs until ready, so everything below is plain data.
struct Session {
  std::unique_ptr<TemporaryDirectory> directory;
  std::unique_ptr<Child> display;
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<Platform> platform;
  std::unique_ptr<QThread> watcherThread;
  std::unique_ptr<StatusNotifierWatcher> watcher;
  std::string skipReason;
};

Session& session() {
  static Session s;
  return s;
}

namespace {

using namespace std::chrono_literals;

int gArgc = 1;
char gProgramName[] = "qt_tray_tests";
char* gArgv[] = {gProgramName, nullptr};

class TrayEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    Session& s = session();
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      s.skipReason = "no Xvfb to run a display";
      return;
    }
    if (!PrivateBus::available()) {
      s.skipReason = "no dbus-daemon to run a private bus";
      return;
    }
    s.directory = std::make_unique<TemporaryDirectory>();
    // -displayfd: Xvfb picks a free display number and writes it on standard output.
    s.display = std::make_unique<Child>(
        "/usr/bin/Xvfb",
        std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
        lumivane::Environment{{"PATH", "/usr/bin:/bin"}});
    const auto number = s.display->output().next();
    ASSERT_TRUE(number.has_value()) << "Xvfb did not start";
    s.bus = std::make_unique<PrivateBus>(s.directory->path());
    ASSERT_FALSE(s.bus->address().empty());

    ::setenv("DISPLAY", (":" + *number).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", s.bus->address().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("XDG_CURRENT_DESKTOP");
    ::unsetenv("SESSION_MANAGER");
    s.platform = makeDesktopPlatform(gArgc, gArgv);

    s.watcher = std::make_unique<StatusNotifierWatcher>();
    s.watcherThread = std::make_unique<QThread>();
    s.watcher->moveToThread(s.watcherThread.get());
    s.watcherThread->start();
    // Registered from the watcher's own thread, where QtDBus relays its signals from.
    bool registered = false;
    const QString address = QString::fromStdString(s.bus->address());
    QMetaObject::invokeMethod(
        s.watcher.get(),
        [&] {
          QDBusConnection host = QDBusConnection::connectToBus(address, QStringLiteral("tray-host"));
          registered = host.registerObject(QStringLiteral("/StatusNotifierWatcher"), s.watcher.get(),
                                           QDBusConnection::ExportAllContents) &&
                       host.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(registered);
  }

  void TearDown() override {
    Session& s = session();
    if (s.watcherThread) {
      QMetaObject::invokeMethod(
          s.watcher.get(),
          [&s] {
            QDBusConnection host(QStringLiteral("tray-host"));
            host.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
            host.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
            QDBusConnection::disconnectFromBus(QStringLiteral("tray-host"));
            s.watcher.release()->deleteLater();  // deleted in its own thread, as that ends
          },
          Qt::BlockingQueuedConnection);
      s.watcherThread->quit();
      s.watcherThread->wait();
    }
    s.platform.reset();
  }
};

QDBusConnection trayHost() { return QDBusConnection(QStringLiteral("tray-host")); }

// A call to the tray item, which answers from this thread's event loop: sent without
// blocking, waited for with the loop running.
QDBusMessage call(const QDBusMessage& message) {
  QDBusPendingCallWatcher pending(trayHost().asyncCall(message, 10000));
  bool finished = false;
  QObject::connect(&pending, &QDBusPendingCallWatcher::finished, [&] { finished = true; });
  spinUntil([&] { return finished; });
  return pending.reply();
}

QVariant itemProperty(const QString& service, const QString& name) {
  QDBusMessage get = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierItem") << name;
  const QDBusMessage reply = call(get);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().front().value<QDBusVariant>().variant();
}

struct Pixmap {
  int width = 0;
  int height = 0;
  QByteArray argb;  // big-endian ARGB32
};

std::vector<Pixmap> pixmaps(const QDBusArgument& argument) {
  std::vector<Pixmap> result;
  argument.beginArray();
  while (!argument.atEnd()) {
    Pixmap p;
    argument.beginStructure();
    argument >> p.width >> p.height >> p.argb;
    argument.endStructure();
    result.push_back(p);
  }
  argument.endArray();
  return result;
}

struct ToolTip {
  QString title;
  QString text;
};

ToolTip toolTip(const QVariant& value) {
  const QDBusArgument argument = value.value<QDBusArgument>();
  ToolTip tip;
  QString iconName;
  argument.beginStructure();
  argument >> iconName;
  pixmaps(argument);
  argument >> tip.title >> tip.text;
  argument.endStructure();
  return tip;
}

struct MenuEntry {
  int id = 0;
  QVariantMap properties;
  std::vector<MenuEntry> children;
};

MenuEntry menuEntry(const QDBusArgument& argument) {
  MenuEntry entry;
  argument.beginStructure();
  argument >> entry.id >> entry.properties;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    entry.children.push_back(menuEntry(child.variant().value<QDBusArgument>()));
  }
  argument.endArray();
  argument.endStructure();
  return entry;
}

std::optional<MenuEntry> menuLayout(const QString& service, const QString& menuPath) {
  QDBusMessage get = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                    QStringLiteral("GetLayout"));
  get << 0 << -1 << QStringList();
  const QDBusMessage reply = call(get);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return std::nullopt;
  return menuEntry(reply.arguments().at(1).value<QDBusArgument>());
}

void click(const QString& service, const QString& menuPath, int id) {
  QDBusMessage event = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                      QStringLiteral("Event"));
  event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
  call(event);
}

// What a tray host draws for a menu label: '_' marks the next character as a mnemonic and is
// not drawn, "__" draws one '_'.
std::string drawnLabel(const MenuEntry& entry) {
  const QString label = entry.properties.value(QStringLiteral("label")).toString();
  QString drawn;
  for (qsizetype i = 0; i < label.size(); ++i) {
    if (label[i] == u'_') {
      ++i;
      if (i < label.size()) drawn += label[i];
      continue;
    }
    drawn += label[i];
  }
  return drawn.toStdString();
}

std::vector<std::vector<QString>> shortcut(const MenuEntry& entry) {
  std::vector<std::vector<QString>> keys;
  const QVariant value = entry.properties.value(QStringLiteral("shortcut"));
  if (!value.isValid()) return keys;
  const QDBusArgument argument = value.value<QDBusArgument>();
  argument.beginArray();
  while (!argument.atEnd()) {
    QStringList chord;
    argument >> chord;
    keys.emplace_back(chord.begin(), chord.end());
  }
  argument.endArray();
  return keys;
}

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!session().skipReason.empty()) GTEST_SKIP() << session().skipReason;
  }
  Platform& platform() { return *session().platform; }

  // The service names the watcher has been given so far.
  static QStringList registered() { return session().watcher->registeredItems(); }
};

TEST_F(Tray, TheItemRegistersOnceAndPublishesItsTooltipPictureAndMenu) {
  const int before = static_cast<int>(registered().size());
  std::vector<std::string> chosen;
  auto item = platform().statusItemWithLength(kSquareStatusItemLength);
  item->button()->setTitle("LV");
  item->button()->setToolTip("Lumivane");
  Menu menu;
  menu.addItem("Open Lumivane", "o");
  menu.addItem("Connect Quest\u2026", "");
  menu.addSeparator();
  menu.addItem("Show Log", "");
  menu.addItem("Licences & Credits", "");
  menu.addSeparator();
  menu.addItem("Quit Lumivane", "q");
  for (MenuItem& entry : menu.itemArray()) {
    if (!entry.separator) entry.action = [&chosen, title = entry.title] { chosen.push_back(title); };
  }
  item->setMenu(std::move(menu));

  ASSERT_TRUE(spinUntil([&] { return registered().size() > before; })) << "the item never registered";
  const QString service = registered().back();

  const ToolTip tip = toolTip(itemProperty(service, QStringLiteral("ToolTip")));
  EXPECT_EQ(tip.title, QStringLiteral("Lumivane"));

  const QVariant pictures = itemProperty(service, QStringLiteral("IconPixmap"));
  ASSERT_TRUE(pictures.isValid());
  const std::vector<Pixmap> drawn = pixmaps(pictures.value<QDBusArgument>());
  ASSERT_FALSE(drawn.empty()) << "no picture: the title must be drawn into one";
  bool anyOpaque = false;
  for (const Pixmap& p : drawn) {
    for (qsizetype i = 0; i + 3 < p.argb.size(); i += 4) anyOpaque |= p.argb[i] != 0;
  }
  EXPECT_TRUE(anyOpaque) << "the drawn title is not all transparent";

  const QVariant menuPath = itemProperty(service, QStringLiteral("Menu"));
  ASSERT_TRUE(menuPath.isValid());
  const QString path = menuPath.value<QDBusObjectPath>().path();
  const auto layout = menuLayout(service, path);
  ASSERT_TRUE(layout.has_value());

  struct Shown {
    std::string label;
    bool separator;
    std::vector<std::vector<QString>> shortcut;
  };
  const std::vector<Shown> expected{{"Open Lumivane", false, {{"Control", "O"}}},
                                    {"Connect Quest\u2026", false, {}},
                                    {"", true, {}},
                                    {"Show Log", false, {}},
                                    {"Licences & Credits", false, {}},
                                    {"", true, {}},
                                    {"Quit Lumivane", false, {{"Control", "Q"}}}};
  ASSERT_EQ(layout->children.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const MenuEntry& entry = layout->children[i];
    const bool separator = entry.properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator");
    EXPECT_EQ(separator, expected[i].separator) << i;
    if (separator) continue;
    EXPECT_EQ(drawnLabel(entry), expected[i].label) << i;
    EXPECT_EQ(shortcut(entry), expected[i].shortcut) << i;
    EXPECT_NE(entry.properties.value(QStringLiteral("enabled"), true).toBool(), false) << i;
  }

  click(service, path, layout->children[6].id);
  click(service, path, layout->children[3].id);
  EXPECT_TRUE(spinUntil([&] { return chosen.size() == 2; }));
  EXPECT_EQ(chosen, (std::vector<std::string>{"Quit Lumivane", "Show Log"}));

  // Changing the picture after it is shown does not show the item again.
  TemporaryDirectory dir;
  QImage picture(18, 18, QImage::Format_ARGB32);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(QString::fromStdString((dir / "MenuIcon.png").string()), "PNG"));
  item->button()->setImage(platform().imageWithContentsOfURL(dir / "MenuIcon.png"));
  spinFor(300ms);
  EXPECT_EQ(registered().size(), before + 1);
}

}  // namespace
}  // namespace lumivane::qt::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new lumivane::qt::testing::TrayEnvironment);
  return RUN_ALL_TESTS();
}

#include "qt_tray_test.moc"
