#!/usr/bin/python3
"""The real window under openbox and under mutter on a 1920x1200 screen: its
own icon, its maximised and full-screen states across a game that stops
unexpectedly, and a second start bringing it to the front over another
window that has the focus."""
import os
import subprocess
import sys
import tempfile

from Xlib import X
from Xlib.protocol import event as xevent

import e2e

SCRIPT = e2e.Script()
check = SCRIPT.check
LAUNCHER = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp()
MAXIMISED = ["_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_MAXIMIZED_VERT"]
FULL = ["_NET_WM_STATE_FULLSCREEN"]


def states(x, win):
    prop = win.get_full_property(x.dpy.intern_atom("_NET_WM_STATE"), X.AnyPropertyType)
    return {x.dpy.get_atom_name(a) for a in prop.value} if prop else set()


def ask(x, win, names, add=1):
    """Asks the window manager to add (or remove) states, as its own menu or keys do."""
    atoms = [x.dpy.intern_atom(n) for n in names] + [0]
    ev = xevent.ClientMessage(window=win.id, client_type=x.dpy.intern_atom("_NET_WM_STATE"),
                              data=(32, [add, atoms[0], atoms[1], 1, 0]))
    x.dpy.screen().root.send_event(ev, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
    x.dpy.flush()


def desktop(wm):
    x = e2e.Xvfb("1920x1200")
    SCRIPT.helpers.append(x)
    bus = e2e.Bus(SCRIPT)
    e2e.window_manager(SCRIPT, x, wm, bus.address)
    home = os.path.join(WORK, wm)
    os.makedirs(os.path.join(home, "build", "host"))
    python = os.path.join(home, "python")
    with open(python, "w") as f:
        f.write('#!/bin/sh\nfor m; do :; done\n[ "$m" = --status ] && echo \'{"ready": true}\'\nexit 0\n')
    game = os.path.join(home, "build", "host", "orvl")
    with open(game, "w") as f:
        f.write("#!/bin/sh\nsleep 0.5\nexit 3\n")
    os.chmod(python, 0o755)
    os.chmod(game, 0o755)
    env = dict(os.environ, DISPLAY=x.display, ORVL_PYTHON=python, ORVL_HOME=home, ORVL_SHARE=home,
               ORVL_DESKTOP="0", DBUS_SESSION_BUS_ADDRESS=bus.address)
    proc = SCRIPT.helper([LAUNCHER], env=env, stderr=subprocess.DEVNULL)
    win = x.window("Orvandel", proc.pid, 30)
    if not win:
        raise SystemExit(f"FAIL: no window under {wm}")
    e2e.wait_until(lambda: x.dpy.get_input_focus().focus == win, 5)

    icon = win.get_full_property(x.dpy.intern_atom("_NET_WM_ICON"), X.AnyPropertyType)
    check(icon is not None and list(icon.value[:2]) == [128, 128], f"{wm}: the window carries its 128x128 icon")

    log = os.path.join(home, "logs", "orvl.log")
    for name, wanted in (("maximised", MAXIMISED), ("full-screen", FULL)):
        ask(x, win, wanted)
        e2e.wait_until(lambda: set(wanted) <= states(x, win), 5)
        if os.path.exists(log):
            os.unlink(log)
        # Return again until the game starts: a slow start may still show the checking screen.
        def play():
            subprocess.run(["xdotool", "key", "Return"], env=env, timeout=10)
            return e2e.wait_until(lambda: os.path.exists(log), 1)
        back = e2e.wait_until(play, 30) and x.window("Orvandel", proc.pid, 20)
        held = bool(back) and e2e.wait_until(lambda: set(wanted) <= states(x, back), 5)
        check(held, f"{wm}: {name}, then the game stops unexpectedly: the window comes back {name} "
                    f"({sorted(states(x, back)) if back else 'not at all'})")
        win = back or win
        ask(x, win, wanted, 0)
        e2e.wait_until(lambda: not set(wanted) & states(x, win), 5)

    # Another window takes the focus; a second start of the launcher brings
    # the first one back in front.
    other = SCRIPT.helper(["xmessage", "-name", "other", "other"], env=env, stderr=subprocess.DEVNULL)
    e2e.wait_until(lambda: x.stacking()[:1] and x.stacking()[0] != win.id, 10)
    SCRIPT.helper([LAUNCHER], env=env, stderr=subprocess.DEVNULL).wait(20)
    check(e2e.wait_until(lambda: x.stacking()[:1] == [win.id], 5), f"{wm}: a second start raises the first window")
    other.kill()


def main():
    for wm in ("openbox", "mutter"):
        desktop(wm)


SCRIPT.run(main, WORK)
