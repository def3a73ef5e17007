#!/usr/bin/env python3
"""A small accessibility client for the reader's end-to-end tests, as a screen reader sees
the program: it turns accessibility on (as a screen reader does), finds the window named
argv[1] over AT-SPI and listens to every object event of the program.

Commands on standard input, one answer line (JSON) each on standard output:
  describe  the window's role and name, and each object below it: role, name, and text
            (null when the object offers no text)
  events    the events seen so far: type, source role and name, details and data
  quit      ends the client
It prints "enabled" once accessibility is on, then "ready" once the window is found, or
"error: ..." and exits 1 when it is not found within 30 s."""
import json
import sys
import time

import pyatspi
from gi.repository import Gio, GLib

events = []


def enable_accessibility():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                  GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled",
                                         GLib.Variant("b", True))),
                  None, Gio.DBusCallFlags.NONE, 10000, None)


def find_window(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        for window in app:
            if window is not None and window.name == name:
                return window
    return None


def text_of(accessible):
    try:
        text = accessible.queryText()
    except NotImplementedError:
        return None
    return text.getText(0, -1)


def describe(window):
    objects = []

    def walk(node):
        for child in node:
            if child is None:
                continue
            objects.append({"role": child.getRoleName(), "name": child.name,
                            "text": text_of(child)})
            walk(child)

    walk(window)
    return {"role": window.getRoleName(), "name": window.name, "objects": objects}


def on_event(event):
    try:
        source_role = event.source.getRoleName()
        source_name = event.source.name
    except Exception:  # the source may be gone already
        source_role, source_name = "", ""
    events.append({"type": event.type, "role": source_role, "name": source_name,
                   "detail1": event.detail1, "detail2": event.detail2,
                   "data": str(event.any_data)})


def main():
    enable_accessibility()
    print("enabled", flush=True)
    deadline = time.monotonic() + 30
    window = None
    while window is None and time.monotonic() < deadline:
        window = find_window(sys.argv[1])
        if window is None:
            time.sleep(0.2)
    if window is None:
        print("error: no window named %r over AT-SPI" % sys.argv[1], flush=True)
        return 1
    pyatspi.Registry.registerEventListener(on_event, "object")

    def on_command(channel, condition):
        line = sys.stdin.readline()
        command = line.strip()
        if command == "describe":
            print(json.dumps(describe(window)), flush=True)
        elif command == "events":
            print(json.dumps(events), flush=True)
        elif command == "quit" or not line:
            pyatspi.Registry.stop()
            return False
        else:
            print(json.dumps({"error": "unknown command " + command}), flush=True)
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.IN | GLib.IOCondition.HUP, on_command)
    print("ready", flush=True)
    pyatspi.Registry.start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
