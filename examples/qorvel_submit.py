#!/usr/bin/python3
"""Submit a short message through Qorvel and wait for its delivery notification.

usage: qorvel_submit.py NUMBER TEXT

Needs Debian's python3-gi. Qorvel is started through the session bus if it is
installed and not running. TEXT goes as Latin-1, one octet a character.
"""
import sys

from gi.repository import Gio, GLib

NAME = "Qorvel.AutoEMI"
BUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


def fail(text):
    sys.exit("qorvel_submit.py: " + text)


def error_text(error):
    """A D-Bus error in one piece: its message, and its name where that says more."""
    name = Gio.DBusError.get_remote_error(error)
    message = error.message
    # GDBus puts the name in front of the remote side's message.
    if name and message.startswith("GDBus.Error:%s: " % name):
        message = message[len("GDBus.Error:%s: " % name):]
    # Qorvel's own failures carry Qorvel's text; their name adds nothing.
    if name and not name.startswith("Qorvel.Error."):
        return "%s (%s)" % (message, name)
    return message


def call(bus, dest, path, interface, method, args=None, reply=None, timeout=-1):
    try:
        result = bus.call_sync(dest, path, interface, method, args,
                               GLib.VariantType(reply) if reply else None,
                               Gio.DBusCallFlags.NONE, timeout, None)
    except GLib.Error as e:
        fail("%s failed: %s" % (method, error_text(e)))
    return result.unpack() if reply else None


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    number, text = sys.argv[1], sys.argv[2]
    try:
        octets = text.encode("latin-1")
    except UnicodeEncodeError as e:
        bad = text[e.start]
        fail('TEXT: "%s" (U+%04X) is no Latin-1 character' % (bad, ord(bad)))
    try:
        bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    except GLib.Error as e:
        fail("no session bus: " + e.message)

    loop = GLib.MainLoop()
    qorvel = {}  # its unique name, and whether it went away

    # Subscribed before the object exists, so that no departure goes unseen.
    def on_owner_changed(_bus, _sender, _path, _interface, _member, args):
        _name, old, _new = args.unpack()
        if old and old == qorvel.get("owner"):
            qorvel["gone"] = True
            loop.quit()

    bus.signal_subscribe(BUS[0], BUS[2], "NameOwnerChanged", BUS[1], NAME,
                         Gio.DBusSignalFlags.NONE, on_owner_changed)

    # The object lives as long as this connection, or until Release.
    (path,) = call(bus, NAME, "/Qorvel", "Qorvel.ClassFactory", "CreateInstance", reply="(o)")
    # Any connection may send a signal on the object's path: only those of
    # the name's owner, known by its unique name, are Qorvel's.
    (qorvel["owner"],) = call(bus, *BUS, "GetNameOwner", GLib.Variant("(s)", (NAME,)), "(s)")
    notification = []

    def on_notification(_bus, _sender, _path, _interface, _member, args):
        scts, oa, da, msg, pid, status, reason, dscts = args.unpack()
        notification.append((da, status, reason))
        loop.quit()

    bus.signal_subscribe(qorvel["owner"], "Qorvel.IAutoEMIEvents", "OnDeliveredNotification",
                         path, None, Gio.DBusSignalFlags.NONE, on_notification)
    call(bus, qorvel["owner"], path, "Qorvel.IAutoEMI", "Advise")

    # DA, Msg (octets), Binary, MCLs (255: none), PID, NT (1: delivered), RPI, VP (days)
    args = GLib.Variant("(saybnnnnd)", (number, octets, False, 255, 0, 1, 0, 1.0))
    (scts,) = call(bus, qorvel["owner"], path, "Qorvel.IAutoEMI", "Submit", args, "(d)", 120000)
    print("accepted, SCTS %.6f (days since 30 December 1899)" % scts)

    GLib.timeout_add_seconds(30, loop.quit)
    loop.run()
    if notification:
        da, status, reason = notification[0]
        print("notification for %s: status %d, reason %d" % (da, status, reason))
    elif qorvel.get("gone"):
        fail("Qorvel went away before the notification came")
    else:
        print("no notification within 30 s")
    call(bus, qorvel["owner"], path, "Qorvel.IAutoEMI", "Release")


if __name__ == "__main__":
    main()
