"""An alert as a screen reader reads it: title, texts and buttons from the application's
accessible tree (AT-SPI over D-Bus), with the buttons in the order they are shown.

The application embeds its tree with the registry in harness.services; the tree is walked
here with plain D-Bus calls: GetChildren, GetRoleName, the Name property and, for the
buttons' order on screen, Component.GetExtents. (Properties are read one by one: Qt's
accessibility bridge does not survive a GetAll.)
"""

from dataclasses import dataclass

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"
COMPONENT = "org.a11y.atspi.Component"
PROPERTIES = "org.freedesktop.DBus.Properties"
ALERT_ROLES = {"alert", "alert message", "dialog"}
SCREEN_COORDINATES = 0


@dataclass(frozen=True)
class AccessibleAlert:
    title: str
    texts: list
    buttons: list  # left to right


class AccessibleTree:
    def __init__(self, bus, service, root_path):
        self.bus = bus
        self.service = service
        self.root_path = root_path

    def _object(self, path):
        return self.bus.get_object(self.service, path, introspect=False)

    def role(self, path):
        return str(self._object(path).GetRoleName(dbus_interface=ACCESSIBLE))

    def name(self, path):
        return str(self._object(path).Get(ACCESSIBLE, "Name", dbus_interface=PROPERTIES))

    def children(self, path):
        found = self._object(path).GetChildren(dbus_interface=ACCESSIBLE)
        # Children on another connection (embedded trees) are not followed.
        return [str(child_path) for service, child_path in found if str(service) == self.service]

    def left_edge(self, path):
        x, _y, _width, _height = self._object(path).GetExtents(
            dbus.UInt32(SCREEN_COORDINATES), dbus_interface=COMPONENT)
        return int(x)

    def descendants(self, path):
        for child in self.children(path):
            yield child
            yield from self.descendants(child)

    def alerts(self):
        return [path for path in self.children(self.root_path)
                if self.role(path) in ALERT_ROLES]

    def describe_alert(self, path):
        texts, buttons = [], []
        for node in self.descendants(path):
            role = self.role(node)
            if role == "label":
                texts.append(self.name(node))
            elif role == "push button":
                buttons.append((self.left_edge(node), self.name(node)))
        return AccessibleAlert(
            title=self.name(path),
            texts=[text for text in texts if text],
            buttons=[name for _, name in sorted(buttons)],
        )
