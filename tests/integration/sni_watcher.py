"""A StatusNotifierItem watcher with a host, as a desktop's panel provides on
the session bus: it owns org.kde.StatusNotifierWatcher, accepts every item
and prints one line per event ("watching", then "registered SENDER
SERVICE"). Needs PyGObject (Debian python3-gi); run it with the system's
python3."""

import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
<signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

items = []


def on_call(conn, sender, path, interface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        service = params.unpack()[0]
        items.append(service)
        print("registered", sender, service, flush=True)
        conn.emit_signal(None, path, interface, "StatusNotifierItemRegistered",
                         GLib.Variant("(s)", (service,)))
    invocation.return_value(None)


def on_get(conn, sender, path, interface, prop):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}.get(prop)


def on_bus(conn, name):
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    conn.register_object("/StatusNotifierWatcher", info, on_call, on_get, None)


def on_name(conn, name):
    print("watching", flush=True)


def on_lost(conn, name):
    print("name lost", flush=True)
    sys.exit(1)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher",
                 Gio.BusNameOwnerFlags.NONE, on_bus, on_name, on_lost)
GLib.MainLoop().run()
