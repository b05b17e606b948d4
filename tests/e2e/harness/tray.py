"""What a tray host sees of a status item: its properties and its menu, over D-Bus.

The item is the one that registered with the watcher in harness.services; its menu is read
with com.canonical.dbusmenu GetLayout and clicked with Event(id, "clicked", ...).
"""

import time
from dataclasses import dataclass, field

import dbus
import dbus.bus

ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"


def plain(value):
    """dbus-python values as plain Python ones (str, int, bool, list, dict, bytes)."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, dbus.Byte):
        return int(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32,
                          dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(value)
    if isinstance(value, dbus.ByteArray):
        return bytes(value)
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Struct, tuple)):
        return tuple(plain(v) for v in value)
    if isinstance(value, (dbus.Dictionary, dict)):
        return {plain(k): plain(v) for k, v in value.items()}
    return value


def displayed_label(label):
    """The text a host shows for a dbusmenu label: "_" marks the next character as the
    access key and is not shown; "__" shows one underscore."""
    shown = []
    characters = iter(label)
    for character in characters:
        if character == "_":
            character = next(characters, "")
        shown.append(character)
    return "".join(shown)


@dataclass
class MenuEntry:
    id: int
    properties: dict
    children: list = field(default_factory=list)

    @property
    def label(self):
        """The label as the tray host shows it."""
        return displayed_label(self.properties.get("label", ""))

    @property
    def is_separator(self):
        return self.properties.get("type") == "separator"

    @property
    def enabled(self):
        # dbusmenu leaves out properties at their default value; "enabled" defaults to true.
        return self.properties.get("enabled", True)

    @property
    def visible(self):
        return self.properties.get("visible", True)

    @property
    def shortcut(self):
        # A list of key chords, each a list of modifier and key names: [["Control", "O"]].
        return self.properties.get("shortcut", [])


class TrayItem:
    """One registered status item, reached through its own bus connection."""

    def __init__(self, bus_address, service, path):
        self.bus = dbus.bus.BusConnection(bus_address)
        self.service = service
        self.path = path
        self._object = self.bus.get_object(service, path, introspect=False)

    def close(self):
        self.bus.close()

    def properties(self):
        return plain(self._object.GetAll(ITEM_INTERFACE, dbus_interface=PROPERTIES))

    def menu_path(self):
        return self.properties()["Menu"]

    def _menu(self):
        return self.bus.get_object(self.service, self.menu_path(), introspect=False)

    def menu(self):
        """The top level of the menu, in order, as MenuEntry objects."""
        menu = self._menu()
        # Hosts send AboutToShow before they draw a menu; some exporters fill it only then.
        try:
            menu.AboutToShow(dbus.Int32(0), dbus_interface=MENU_INTERFACE)
        except dbus.exceptions.DBusException:
            pass
        _revision, layout = menu.GetLayout(
            dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"),
            dbus_interface=MENU_INTERFACE,
        )
        root = self._entry(layout)
        return [child for child in root.children if child.visible]

    def _entry(self, layout):
        entry_id, properties, children = layout
        return MenuEntry(
            id=int(entry_id),
            properties=plain(properties),
            children=[self._entry(child) for child in children],
        )

    def entry(self, label):
        for entry in self.menu():
            if entry.label == label:
                return entry
        labels = [e.label for e in self.menu()]
        raise AssertionError(f"no menu entry {label!r}; the menu has {labels!r}")

    def click(self, label):
        """Chooses the entry as a tray host does when the user clicks it."""
        entry = self.entry(label)
        try:
            self._menu().Event(
                dbus.Int32(entry.id), "clicked", dbus.Int32(0, variant_level=1),
                dbus.UInt32(int(time.time()) & 0xFFFFFFFF),
                dbus_interface=MENU_INTERFACE,
            )
        except dbus.exceptions.DBusException as error:
            # A program may act on the click (quit, say) before it replies; a host does
            # not wait for the reply either.
            if error.get_dbus_name() != "org.freedesktop.DBus.Error.NoReply":
                raise
