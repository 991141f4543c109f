#!/usr/bin/python3
"""Submit a short message through Qorvel and wait for its delivery notification.

usage: qorvel_submit.py NUMBER TEXT

Needs Debian's python3-gi. Qorvel is started through the session bus if it is
installed and not running.
"""
import sys

from gi.repository import Gio, GLib

NAME = "Qorvel.AutoEMI"


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    number, text = sys.argv[1], sys.argv[2]
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)

    # The object lives as long as this connection, or until Release.
    (path,) = bus.call_sync(NAME, "/Qorvel", "Qorvel.ClassFactory", "CreateInstance",
                            None, GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE, -1, None).unpack()
    loop = GLib.MainLoop()
    notification = []

    def on_signal(_bus, _sender, _path, _interface, member, args):
        if member == "OnDeliveredNotification":
            scts, oa, da, msg, pid, status, reason, dscts = args.unpack()
            notification.append((da, status, reason))
            loop.quit()

    bus.signal_subscribe(None, "Qorvel.IAutoEMIEvents", None, path, None,
                         Gio.DBusSignalFlags.NONE, on_signal)
    bus.call_sync(NAME, path, "Qorvel.IAutoEMI", "Advise", None, None,
                  Gio.DBusCallFlags.NONE, -1, None)

    # DA, Msg (octets), Binary, MCLs (255: none), PID, NT (1: delivered), RPI, VP (days)
    args = GLib.Variant("(saybnnnnd)", (number, text.encode("latin-1"), False, 255, 0, 1, 0, 1.0))
    try:
        (scts,) = bus.call_sync(NAME, path, "Qorvel.IAutoEMI", "Submit", args,
                                GLib.VariantType("(d)"), Gio.DBusCallFlags.NONE, 120000,
                                None).unpack()
    except GLib.Error as e:
        sys.exit("submit failed: " + Gio.DBusError.get_remote_error(e) + ": " + e.message)
    print("accepted, SCTS %.6f (days since 30 December 1899)" % scts)

    GLib.timeout_add_seconds(30, loop.quit)
    loop.run()
    if notification:
        da, status, reason = notification[0]
        print("notification for %s: status %d, reason %d" % (da, status, reason))
    else:
        print("no notification within 30 s")
    bus.call_sync(NAME, path, "Qorvel.IAutoEMI", "Release", None, None,
                  Gio.DBusCallFlags.NONE, -1, None)


if __name__ == "__main__":
    main()
