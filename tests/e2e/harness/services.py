"""The desktop's own services on the private session bus: a tray host and a file manager.

Run as a process of its own
(``/usr/bin/python3 -m harness.services ADDRESS RECORD_DIR [--accessibility]``)
before the launcher starts, because Qt decides once, at start-up, whether a tray exists.

- org.kde.StatusNotifierWatcher at /StatusNotifierWatcher: the tray host. Every item that
  registers is appended to RECORD_DIR/tray-items.jsonl as {"service", "path"}.
- org.freedesktop.FileManager1 at /org/freedesktop/FileManager1: every ShowItems,
  ShowFolders and ShowItemProperties call is appended to RECORD_DIR/file-manager.jsonl as
  {"method", "uris"}.

With --accessibility, also the accessibility bus and registry of a desktop where a screen
reader runs: org.a11y.Bus says that accessibility is on and that the accessibility bus is
this bus, and org.a11y.atspi.Registry records where each application's accessible tree is.
The tests read an alert's texts and buttons from that tree.

Prints "ready" on standard output once the names are owned. Stops on SIGTERM.
"""

import json
import os
import signal
import sys

import dbus
import dbus.bus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
FILE_MANAGER_NAME = "org.freedesktop.FileManager1"
FILE_MANAGER_PATH = "/org/freedesktop/FileManager1"
PROPERTIES = "org.freedesktop.DBus.Properties"

# Qt builds a proxy from the introspection data and reads the host flag through it, so the
# properties must be declared there; dbus-python does not declare properties on its own.
WATCHER_INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="data" type="s" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/>
      <arg name="property" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/>
      <arg name="properties" type="a{sv}" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface" type="s" direction="in"/>
      <arg name="property" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <signal name="PropertiesChanged">
      <arg name="interface" type="s"/>
      <arg name="changed" type="a{sv}"/>
      <arg name="invalidated" type="as"/>
    </signal>
  </interface>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""


def append_record(path, record):
    # One write per record, so a reader never sees half a line.
    with open(path, "a", encoding="utf-8") as stream:
        stream.write(json.dumps(record) + "\n")


class StatusNotifierWatcher(dbus.service.Object):
    INTERFACE = "org.kde.StatusNotifierWatcher"

    def __init__(self, bus, record_path):
        super().__init__(bus, WATCHER_PATH)
        self._bus = bus
        self._record_path = record_path
        self._items = []  # "service/path" strings, as hosts list them
        bus.add_signal_receiver(
            self._name_owner_changed,
            signal_name="NameOwnerChanged",
            dbus_interface="org.freedesktop.DBus",
            path="/org/freedesktop/DBus",
        )

    @dbus.service.method(
        "org.freedesktop.DBus.Introspectable", in_signature="", out_signature="s"
    )
    def Introspect(self):
        return WATCHER_INTROSPECTION

    @dbus.service.method(
        INTERFACE, in_signature="s", out_signature="", sender_keyword="sender"
    )
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Items give either their bus name or, in the Ayatana style, an object path on the
        # connection that calls.
        if service.startswith("/"):
            bus_name, path = sender, service
        else:
            bus_name, path = service, "/StatusNotifierItem"
        entry = bus_name + path
        if entry not in self._items:
            self._items.append(entry)
        append_record(
            self._record_path, {"service": bus_name, "path": path, "sender": sender}
        )
        self.StatusNotifierItemRegistered(entry)

    @dbus.service.method(INTERFACE, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        self.StatusNotifierHostRegistered()

    @dbus.service.signal(INTERFACE, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(INTERFACE, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    @dbus.service.signal(INTERFACE, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.signal(INTERFACE, signature="")
    def StatusNotifierHostUnregistered(self):
        pass

    def _properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self._items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        properties = self._properties()
        if interface != self.INTERFACE or name not in properties:
            raise dbus.exceptions.DBusException(
                f"no property {interface}.{name}",
                name="org.freedesktop.DBus.Error.UnknownProperty",
            )
        return properties[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != self.INTERFACE:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary(self._properties(), signature="sv")

    @dbus.service.method(PROPERTIES, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        raise dbus.exceptions.DBusException(
            "read-only", name="org.freedesktop.DBus.Error.PropertyReadOnly"
        )

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def _name_owner_changed(self, name, old_owner, new_owner):
        if new_owner:
            return
        gone = [e for e in self._items if e.startswith(name + "/")]
        for entry in gone:
            self._items.remove(entry)
            self.StatusNotifierItemUnregistered(entry)


class FileManager(dbus.service.Object):
    INTERFACE = "org.freedesktop.FileManager1"

    def __init__(self, bus, record_path):
        super().__init__(bus, FILE_MANAGER_PATH)
        self._record_path = record_path

    def _record(self, method, uris):
        append_record(self._record_path, {"method": method, "uris": [str(u) for u in uris]})

    @dbus.service.method(INTERFACE, in_signature="ass", out_signature="")
    def ShowItems(self, uris, startup_id):
        self._record("ShowItems", uris)

    @dbus.service.method(INTERFACE, in_signature="ass", out_signature="")
    def ShowFolders(self, uris, startup_id):
        self._record("ShowFolders", uris)

    @dbus.service.method(INTERFACE, in_signature="ass", out_signature="")
    def ShowItemProperties(self, uris, startup_id):
        self._record("ShowItemProperties", uris)


A11Y_BUS_NAME = "org.a11y.Bus"
A11Y_BUS_PATH = "/org/a11y/bus"
REGISTRY_NAME = "org.a11y.atspi.Registry"
ROOT_PATH = "/org/a11y/atspi/accessible/root"


class AccessibilityBus(dbus.service.Object):
    """Tells applications that a screen reader listens, and that the accessibility bus is
    this same session bus."""

    def __init__(self, bus, address):
        super().__init__(bus, A11Y_BUS_PATH)
        self._address = address

    @dbus.service.method("org.a11y.Bus", in_signature="", out_signature="s")
    def GetAddress(self):
        return self._address

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == "org.a11y.Status" and name in ("IsEnabled", "ScreenReaderEnabled"):
            return dbus.Boolean(True)
        raise dbus.exceptions.DBusException(
            f"no property {interface}.{name}", name="org.freedesktop.DBus.Error.UnknownProperty")

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != "org.a11y.Status":
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary({"IsEnabled": dbus.Boolean(True),
                                "ScreenReaderEnabled": dbus.Boolean(True)}, signature="sv")


class AccessibilityRegistry(dbus.service.Object):
    """The registry's socket, into which each application embeds its accessible root.
    Every application that embeds itself is appended to RECORD_DIR/accessibility.jsonl as
    {"service", "path"}."""

    def __init__(self, bus, record_path):
        super().__init__(bus, ROOT_PATH)
        self._record_path = record_path

    @dbus.service.method("org.a11y.atspi.Socket", in_signature="(so)", out_signature="(so)",
                         sender_keyword="sender")
    def Embed(self, plug, sender=None):
        append_record(self._record_path, {"service": str(plug[0]), "path": str(plug[1]),
                                          "sender": sender})
        return dbus.Struct((REGISTRY_NAME, dbus.ObjectPath(ROOT_PATH)), signature="so")

    @dbus.service.method("org.a11y.atspi.Socket", in_signature="(so)", out_signature="")
    def Unembed(self, plug):
        pass


class DeviceEventController(dbus.service.Object):
    """Says that no assistive program wants the key presses, so the application goes on to
    handle each one itself at once."""

    def __init__(self, bus):
        super().__init__(bus, "/org/a11y/atspi/registry/deviceeventcontroller")

    @dbus.service.method("org.a11y.atspi.DeviceEventController", out_signature="b")
    def NotifyListenersSync(self, *event):
        return dbus.Boolean(False)

    @dbus.service.method("org.a11y.atspi.DeviceEventController")
    def NotifyListenersAsync(self, *event):
        pass


def main(argv):
    address, record_dir = argv[1], argv[2]
    accessibility = "--accessibility" in argv[3:]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    loop = GLib.MainLoop()

    watcher = StatusNotifierWatcher(bus, os.path.join(record_dir, "tray-items.jsonl"))
    file_manager = FileManager(bus, os.path.join(record_dir, "file-manager.jsonl"))
    names = [
        dbus.service.BusName(WATCHER_NAME, bus, do_not_queue=True),
        dbus.service.BusName(FILE_MANAGER_NAME, bus, do_not_queue=True),
    ]
    exported = [watcher, file_manager]
    if accessibility:
        exported += [
            AccessibilityBus(bus, address),
            AccessibilityRegistry(bus, os.path.join(record_dir, "accessibility.jsonl")),
            DeviceEventController(bus),
        ]
        names.append(dbus.service.BusName(REGISTRY_NAME, bus, do_not_queue=True))
        names.append(dbus.service.BusName(A11Y_BUS_NAME, bus, do_not_queue=True))

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()
    del names, exported
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
