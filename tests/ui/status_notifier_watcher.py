# A StatusNotifierWatcher stand-in for a private session bus: Qt shows its tray icon as a StatusNotifierItem
# only when a watcher says a host is registered. Prints each registered item's bus name, one per line. For each
# item name read on its standard input it reads the icon as a panel would, and prints the colour of the state
# badge of its largest image: "grey", "green", "red", another rgb(...), or why there is none.
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        self.items = []
        super().__init__(dbus.service.BusName(INTERFACE, bus), "/StatusNotifierWatcher")

    @dbus.service.method(INTERFACE, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.append(service if service.startswith(":") else sender)
        print(self.items[-1], flush=True)

    @dbus.service.method(INTERFACE, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    # Qt reads the property through an interface object, which only sees what introspection lists.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return f"""<node><interface name="{INTERFACE}">
            <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
            <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
            <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
            <property name="ProtocolVersion" type="i" access="read"/>
            <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
            </interface></node>"""

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": 0,
                "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s")}


def badge_colour(red, green, blue):
    if green > red + 60 and green > blue + 60:
        return "green"
    if red > green + 60 and red > blue + 60:
        return "red"
    return "grey" if max(red, green, blue) - min(red, green, blue) < 30 else f"rgb({red}, {green}, {blue})"


def icon_of(bus, name):
    # Asked without blocking: the item's answer needs the main loop of the process that asks.
    def answered(properties):
        pixmaps = [(int(w), int(h), bytes(data)) for w, h, data in properties.get("IconPixmap", []) if h > 0]
        if not pixmaps:
            return print(f"no image: {dict(properties)}", flush=True)
        width, height, pixels = max(pixmaps, key=lambda pixmap: pixmap[0])  # ARGB, 4 bytes a pixel
        # The colour where the icon's state badge sits, three quarters across and down.
        at = 4 * (height * 3 // 4 * width + width * 3 // 4)
        print(badge_colour(*pixels[at + 1:at + 4]) if at + 4 <= len(pixels) else "no badge", flush=True)

    bus.get_object(name, "/StatusNotifierItem").GetAll(
        "org.kde.StatusNotifierItem", dbus_interface=dbus.PROPERTIES_IFACE,
        reply_handler=answered, error_handler=lambda error: print(f"error: {error}", flush=True))


def asked(source, condition, bus):
    line = sys.stdin.readline()
    if not line:
        return False
    icon_of(bus, line.strip())
    return True


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
watcher = Watcher(bus)
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, asked, bus)
print("ready", flush=True)
GLib.MainLoop().run()
