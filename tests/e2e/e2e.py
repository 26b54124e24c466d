"""What the end-to-end tests share: an X server of their own, waiting for a
condition, files that may not be there yet, the process tree as /proc shows
it, and the launcher's window found, focused and typed at as a player types.

    import e2e
    x = e2e.Xvfb("960x600")
    proc = subprocess.Popen([launcher], env=dict(os.environ, DISPLAY=x.display))
    win = x.window("Orvandel", proc.pid, 30, drawn)   # drawn(win): its first frame came
    x.key(win, "Return")
    e2e.wait_until(lambda: not e2e.zombies(proc.pid), 2)
    x.stop()

Run the tests with Debian's /usr/bin/python3 (python3-xlib).
"""

import os
import select
import shutil
import socket
import subprocess
import sys
import time

import dbus
import Xlib.error
from Xlib import X, display as xdisplay

# SDL takes a focus change in 200 ms after the X server's event.
FOCUS_SETTLE = 0.4


def wait_until(pred, seconds=20, step=0.05):
    """Polls pred until it holds or seconds have passed; whether it held."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return bool(pred())


def read(path):
    """A file's text; empty while it is not there."""
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


# ---- the process tree ----

def pids():
    """Every process id in /proc."""
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def stat(pid):
    """(state, parent id) of a process, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            s = f.read()
    except OSError:
        return None
    # The command name in parentheses may hold spaces and parentheses itself.
    rest = s[s.rindex(")") + 2:].split()
    return rest[0], int(rest[1])


def priority(pid):
    """(niceness, I/O priority as ionice says it) of a process, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            nice = int(f.read().rsplit(")", 1)[1].split()[16])
    except (OSError, IndexError, ValueError):
        return None
    return nice, subprocess.run(["ionice", "-p", str(pid)], capture_output=True, text=True).stdout.strip()


def zombies(pid):
    """Children of a process that ended and were not reaped."""
    return [p for p in pids() if (st := stat(p)) and st[1] == pid and st[0] == "Z"]


def _strings(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return None


def cmdline(pid):
    """A process's arguments as bytes, or None when it is gone."""
    return _strings(pid, "cmdline")


def environ(pid):
    """A process's environment as b"NAME=value" entries, or None when it is
    gone or not ours to read."""
    return _strings(pid, "environ")


# ---- an X server and its windows ----

class Xvfb:
    """Xvfb on a display no other server holds (display, as DISPLAY takes
    it), with a screen of the given size, and a connection to it (dpy, for
    python3-xlib)."""

    def __init__(self, size="960x600"):
        # The server picks the display and says which once it accepts
        # clients: no race with servers other tests are starting.
        r, w = os.pipe()
        # -noreset: without it the server resets when its last client leaves,
        # and a program starting in that moment cannot connect.
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", size + "x24", "-nolisten", "tcp",
                                      "-noreset"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        while not number.endswith(b"\n") and select.select([r], [], [], 30)[0]:
            more = os.read(r, 16)
            if not more:
                break
            number += more
        os.close(r)
        if not number.strip().isdigit():
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.dpy = xdisplay.Display(self.display)

    def stop(self):
        try:
            self.dpy.close()
        except Xlib.error.ConnectionClosedError:
            pass                        # the server went first
        self.proc.terminate()
        self.proc.wait()

    def run(self, *cmd):
        """An X client's standard output; empty when it fails or takes too long."""
        try:
            return subprocess.run(cmd, env=dict(os.environ, DISPLAY=self.display), capture_output=True,
                                  timeout=10).stdout
        except subprocess.TimeoutExpired:
            return b""

    def _titled(self, title):
        """Top-level windows, topmost first, of that title (any when None)."""
        found = []
        root = self.dpy.screen().root
        # A window manager puts each window in a frame of its own, and tells
        # the order of the windows it manages.
        managed = root.get_full_property(self.dpy.intern_atom("_NET_CLIENT_LIST_STACKING"), X.AnyPropertyType)
        tops = [self.dpy.create_resource_object("window", i) for i in managed.value] if managed else \
            root.query_tree().children
        for w in reversed(tops):
            try:
                if title is None or w.get_wm_name() == title:
                    found.append(w)
            except Xlib.error.XError:
                pass                    # a window that went away meanwhile
        return found

    def window(self, title, pid, seconds=20, shown=None):
        """The shown top-level window of that title that process pid made
        (its _NET_WM_PID), once shown(window) holds too if given, waiting
        for it; None if none came. The window of a process that just ended
        may linger: the id tells them apart. SDL replaces its first window
        by another when its renderer starts: wait for what the window shows
        through shown rather than keep a window found before."""
        pid_atom = self.dpy.intern_atom("_NET_WM_PID")
        found = []

        def look():
            for w in self._titled(title):
                try:
                    prop = w.get_full_property(pid_atom, X.AnyPropertyType)
                    if (prop and prop.value[0] == pid and w.get_attributes().map_state == X.IsViewable
                            and (shown is None or shown(w))):
                        found.append(w)
                        return True
                except Xlib.error.XError:
                    pass                # it went away meanwhile
            return False
        wait_until(look, seconds)
        return found[0] if found else None

    def stacking(self, title=None):
        """Ids of the top-level windows of that title (any when None), topmost first."""
        return [w.id for w in self._titled(title)]

    def focus(self, win):
        """Gives the window the keyboard focus, unless it has it, and lets SDL take it in."""
        if self.dpy.get_input_focus().focus != win:
            self.run("xdotool", "windowfocus", "--sync", str(win.id))
            time.sleep(FOCUS_SETTLE)

    def unfocus(self):
        """Takes the keyboard focus from every window, as switching to another program does."""
        self.dpy.set_input_focus(self.dpy.screen().root, X.RevertToPointerRoot, X.CurrentTime)
        self.dpy.sync()
        time.sleep(FOCUS_SETTLE)

    def key(self, win, *keys):
        """Presses keys (xdotool's names) in the window through XTEST, as a
        keyboard does; a bare Xvfb has no window manager to activate it."""
        self.focus(win)
        subprocess.run(["xdotool", "key", *keys], env=dict(os.environ, DISPLAY=self.display), check=True,
                       timeout=10)


def window_manager(script, x, name, bus):
    """Starts a window manager on x's display, a helper of script: "openbox",
    or "mutter" (GNOME's, compositing) on the session bus at address bus;
    waits until it manages the screen."""
    argv = {"openbox": ["openbox"], "mutter": ["mutter", "--x11", "--replace", "--sm-disable"]}[name]
    script.helper(argv, env=dict(os.environ, DISPLAY=x.display, DBUS_SESSION_BUS_ADDRESS=bus),
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check = x.dpy.intern_atom("_NET_SUPPORTING_WM_CHECK")
    if not wait_until(lambda: x.dpy.screen().root.get_full_property(check, X.AnyPropertyType), 30):
        raise SystemExit(f"FAIL: {name} did not start")


# ---- a private D-Bus with mock services (python3-dbusmock) ----

class Bus:
    """A private dbus-daemon, serving as session and system bus, with the
    mock services a test puts on it; its processes are the script's helpers."""

    def __init__(self, script):
        self.script = script
        self.daemon = script.helper(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.conn = dbus.bus.BusConnection(self.address)

    def mock(self, *args):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        return self.script.helper(["/usr/bin/python3", "-m", "dbusmock", *args], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_name(self, name):
        if not wait_until(lambda: self.conn.name_has_owner(name)):
            raise SystemExit(f"FAIL: {name} never appeared on the bus")

    def obj(self, name, path, iface="org.freedesktop.DBus.Mock"):
        return dbus.Interface(self.conn.get_object(name, path), iface)

    def calls(self, name, path, method):
        """The arguments of each call a mock service took of that method."""
        try:
            return [c[1] for c in self.obj(name, path).GetMethodCalls(method)]
        except dbus.DBusException:
            return []

    def stop(self):
        self.daemon.kill()
        self.daemon.wait()


# ---- tests written as one script: checks counted, helpers ended ----

class Script:
    """Checks counted as they are made, and the processes (Popen), X servers
    and sockets a script starts, ended in reverse order by run()."""

    def __init__(self):
        self.checks = self.fails = 0
        self.helpers = []

    def check(self, ok, what):
        self.checks += 1
        self.fails += 0 if ok else 1
        print(("ok: " if ok else "FAIL: ") + what, flush=True)

    def helper(self, argv, **kw):
        """A process started for the script, ended when it ends."""
        p = subprocess.Popen(argv, **kw)
        self.helpers.append(p)
        return p

    def run(self, main, work):
        """Runs main, ends every helper, removes work, prints the count line
        and exits non-zero when a check failed."""
        try:
            main()
        finally:
            for h in reversed(self.helpers):
                if isinstance(h, Xvfb):
                    h.stop()
                elif isinstance(h, socket.socket):
                    h.close()
                elif h.poll() is None:
                    h.kill()
                    h.wait()
            shutil.rmtree(work, ignore_errors=True)
        print(f"{self.checks - self.fails} passed, {self.fails} failed")
        sys.exit(1 if self.fails else 0)
