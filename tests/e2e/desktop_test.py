#!/usr/bin/python3
"""The real window under Xvfb on a desktop of mock services, on private
buses: logind's sleep inhibitor, the notification daemon, the screensaver, a
Flatpak portal, the user's service manager, and a dbus-monitor capture of
the taskbar's progress. A
quick stand-in installer builds until the test lets it end. Then the same
without a bus at all."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import dbus
from Xlib import X, Xutil
from Xlib.protocol import event as xevent

import e2e

SCRIPT = e2e.Script()
check, helper, HELPERS = SCRIPT.check, SCRIPT.helper, SCRIPT.helpers

LAUNCHER = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp()
SHARE = os.path.join(WORK, "share")
REASON = ("sleep", "Orvandel", "Building Orvandel", "block")

INSTALLER = r'''
import os, signal, sys, time
dest = sys.argv[sys.argv.index("--dest") + 1]
if sys.argv[-1] == "--status":
    print('{"needs_disc": true}')
    sys.exit(0)
os.setpgid(0, 0)
def stopped(*_):
    # On its way out a cancelled build may still say why: the failed state.
    print("@error Stopped.", flush=True)
    time.sleep(0.3)
    sys.exit(1)
signal.signal(signal.SIGTERM, stopped)
print("@step 1 1 Building", flush=True)
go, i = os.path.join(dest, "go"), 0
while not os.path.exists(go):
    i += 1
    print(f"@progress {min(i, 99) / 100}", flush=True)
    time.sleep(0.02)
os.unlink(go)
failure = open(os.path.join(dest, "plan"), encoding="utf-8").read()
if failure:
    print("@error " + failure, flush=True)
    sys.exit(1)
os.makedirs(os.path.join(dest, "build", "host"), exist_ok=True)
game = os.path.join(dest, "build", "host", "orvl")
with open(game, "w") as f:
    f.write("#!/bin/sh\ncut -d' ' -f19 /proc/$$/stat > \"$0.nice\"\necho played\n")
os.chmod(game, 0o755)
print("@done", flush=True)
'''





class Launcher:
    def __init__(self, name, x, session, system, nice=0, **extra):
        self.home = os.path.join(WORK, name)
        os.makedirs(self.home)
        self.plan("")
        env = {k: v for k, v in os.environ.items() if k not in ("ORVL_DESKTOP", "FLATPAK_ID")}
        env.update(ORVL_HOME=self.home, ORVL_SHARE=SHARE,
                   ORVL_PYTHON="/usr/bin/python3", DBUS_SESSION_BUS_ADDRESS=session,
                   DBUS_SYSTEM_BUS_ADDRESS=system, **extra)
        self.stderr = os.path.join(self.home, "stderr")
        with open(self.stderr, "w") as err:
            self.proc = helper([LAUNCHER], env=env, stderr=err, preexec_fn=lambda: os.nice(nice))
        self.x = x
        self.dpy = x.dpy
        if not x.window("Orvandel", self.proc.pid):
            raise SystemExit("FAIL: no launcher window")
        # A key pressed before the first frame after the status query meets
        # the checking screen's empty row.
        self.win = x.window("Orvandel", self.proc.pid, 30, self.row_shown)
        if not self.win:
            raise SystemExit("FAIL: the set-up screen never came")

    @staticmethod
    def row_shown(win):
        """A button face where the row's rightmost button is, unlike the
        background band at the same height."""
        face, band = (win.get_image(x, 492, 1, 1, X.ZPixmap, 0xFFFFFFFF).data for x in (900, 8))
        return face != band

    def installers(self, mode):
        """Ids of this launcher's installer processes in that mode."""
        return [pid for pid in e2e.pids()
                if (argv := e2e.cmdline(pid)) and self.home.encode() in argv and mode.encode() in argv]

    def plan(self, failure):
        with open(os.path.join(self.home, "plan"), "w", encoding="utf-8") as f:
            f.write(failure)

    def key(self, *keys):
        self.x.key(self.win, *keys)

    def build(self):
        """Return, once, on the default button: a build child runs; its id."""
        self.key("Return")
        if not e2e.wait_until(lambda: self.installers("--download"), 20):
            raise SystemExit("FAIL: no build started")
        return self.installers("--download")[0]

    def finish(self):
        open(os.path.join(self.home, "go"), "w").close()

    def built(self):
        return os.path.exists(os.path.join(self.home, "build", "host", "orvl"))

    def progress_lines(self):
        return e2e.read(os.path.join(self.home, "logs", "install.log")).count("@progress")

    def urgent(self):
        hints = self.win.get_wm_hints()
        return bool(hints and hints.flags & Xutil.UrgencyHint)

    def close_window(self):
        protocols = self.dpy.intern_atom("WM_PROTOCOLS")
        delete = self.dpy.intern_atom("WM_DELETE_WINDOW")
        msg = xevent.ClientMessage(window=self.win, client_type=protocols,
                                   data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        self.win.send_event(msg)
        self.dpy.sync()

    def ended(self, what):
        status = None
        try:
            status = self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        check(status == 0, f"{what}: the launcher ended with status 0 ({status})")
        with open(self.stderr) as f:
            err = f.read()
        check(err == "", f"{what}: nothing on standard error {err[:300]!r}")


def entry_updates(path):
    """The LauncherEntry signals dbus-monitor saw: (time, uri, visible, progress)."""
    with open(path) as f:
        text = f.read()
    updates = []
    for block in text.split("signal time=")[1:]:
        if "interface=com.canonical.Unity.LauncherEntry; member=Update" not in block:
            continue                    # the monitor's own name signals
        t = float(re.match(r"[\d.]+", block).group(0))
        uri = re.search(r'string "([^"]*)"', block).group(1)
        visible = re.search(r'"progress-visible"\s+variant\s+boolean (\w+)', block)
        progress = re.search(r'"progress"\s+variant\s+double ([\d.e+-]+)', block)
        updates.append((t, uri, visible and visible.group(1) == "true",
                        float(progress.group(1)) if progress else None))
    return updates


def on_top(x, win, cover):
    order = x.stacking()
    return order.index(win.id) < order.index(cover.id)


def main():
    path = os.path.join(SHARE, "src", "orvl", "tools", "install")
    os.makedirs(path)
    with open(os.path.join(path, "install.py"), "w") as f:
        f.write(INSTALLER)
    x = e2e.Xvfb("960x600")
    HELPERS.append(x)
    os.environ["DISPLAY"] = x.display
    dpy = x.dpy

    system, session = e2e.Bus(SCRIPT), e2e.Bus(SCRIPT)
    system.mock("--template", "logind", "--system")
    session.mock("--template", "notification_daemon")
    session.mock("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver")
    session.mock("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                 "org.freedesktop.portal.Inhibit")
    session.mock("--template", "systemd", "--session")
    for bus, name in ((system, "org.freedesktop.login1"), (session, "org.freedesktop.systemd1"),
                      (session, "org.freedesktop.Notifications"),
                      (session, "org.freedesktop.ScreenSaver"), (session, "org.freedesktop.portal.Desktop")):
        bus.wait_name(name)
    saver = session.obj("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver")
    for method, sig, out, code in (("Inhibit", "ss", "u", "ret = 1"), ("UnInhibit", "u", "", ""),
                                   ("SimulateUserActivity", "", "", "")):
        saver.AddMethod("org.freedesktop.ScreenSaver", method, sig, out, code)
    session.obj("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop").AddMethod(
        "org.freedesktop.portal.Inhibit", "Inhibit", "sua{sv}", "o",
        'path = "/org/freedesktop/portal/desktop/request/1_1/t%d" % len(objects)\n'
        'self.AddObject(path, "org.freedesktop.portal.Request", {}, [("Close", "", "", "")])\n'
        'ret = dbus.ObjectPath(path)')
    logind = system.obj("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager")
    inhibitors = lambda: [tuple(map(str, i[:4])) for i in logind.ListInhibitors()]
    notes = lambda: session.calls("org.freedesktop.Notifications", "/org/freedesktop/Notifications", "Notify")
    scopes = lambda: session.calls("org.freedesktop.systemd1", "/org/freedesktop/systemd1", "StartTransientUnit")
    capture = os.path.join(WORK, "monitor")
    with open(capture, "w") as out:
        helper(["dbus-monitor", "--address", session.address,
                "type='signal',interface='com.canonical.Unity.LauncherEntry'"], stdout=out)
    time.sleep(0.3)                     # the monitor is listening

    # A cancel, a failure and a success, under logind; the screen may blank.
    one = Launcher("one", x, session.address, system.address)
    pid = one.build()
    e2e.wait_until(lambda: inhibitors())
    check(inhibitors() == [REASON], f"one sleep inhibitor during the build {inhibitors()}")
    e2e.wait_until(scopes)
    asked = [[str(n), str(m), {str(k): v for k, v in p}, list(a)] for n, m, p, a in scopes()]
    check(len(asked) == 1 and asked[0][0].endswith(".scope") and asked[0][1:] == ["fail", {
        "PIDs": [pid], "CPUWeight": 10, "IOWeight": 10, "Description": "Building Orvandel"}, []],
          f"the service manager is asked once for a scope of the build child {pid}, with low weights {asked}")
    e2e.wait_until(lambda: sum(1 for u in entry_updates(capture) if u[2]) >= 3)
    one.key("Escape")
    x.unfocus()
    check(e2e.wait_until(lambda: not inhibitors()), "no inhibitor after the cancel")
    failure = "<b>Disk</b> full & more:" + "\u00e9" * 300      # cut at 511 bytes inside a character
    one.plan(failure)
    one.build()
    e2e.wait_until(lambda: inhibitors())
    check(inhibitors() == [REASON], "one sleep inhibitor during the second build")
    x.unfocus()
    one.finish()
    check(e2e.wait_until(lambda: not inhibitors()), "no inhibitor after the failure")
    e2e.wait_until(lambda: notes())
    sent = notes()
    check(len(sent) == 1, f"one notification after the unfocused failure, none for the cancel ({len(sent)})")
    expected = "&lt;b&gt;Disk&lt;/b&gt; full &amp; more:" + "\u00e9" * 243 + "\ufffd"
    if sent:
        app, _, icon, summary, body, actions, hints, _ = sent[0]
        check((app, icon, summary) == ("Orvandel", "org.orvandel.launcher", "Orvandel"),
              f"its application, icon and summary {(app, icon, summary)}")
        check(body == expected, f"its body is the failure sentence, escaped and cut whole {body[-12:]!r}")
        check("default" in actions[::2] and hints.get("desktop-entry") == "org.orvandel.launcher",
              f"a default action and the desktop-entry hint {list(actions)} {dict(hints)}")
    check(one.urgent(), "the window asks for attention")

    cover = dpy.screen().root.create_window(0, 0, 960, 600, 0, X.CopyFromParent, override_redirect=True)
    cover.map()
    dpy.sync()
    daemon = session.obj("org.freedesktop.Notifications", "/org/freedesktop/Notifications")
    daemon.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us", [dbus.UInt32(len(sent) + 7), "default"])
    time.sleep(0.6)
    check(not on_top(x, one.win, cover), "another program's notification does not raise the window")
    daemon.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us", [dbus.UInt32(len(sent)), "default"])
    check(e2e.wait_until(lambda: on_top(x, one.win, cover), 10), "activating the notification raises the window")
    cover.destroy()
    dpy.sync()

    one.plan("")
    one.build()  # Try Again, with the focus kept
    e2e.wait_until(lambda: inhibitors())
    check(inhibitors() == [REASON], "one sleep inhibitor during the third build")
    one.finish()
    check(e2e.wait_until(lambda: not inhibitors()) and e2e.wait_until(one.built), "no inhibitor after the success")
    one.key("Escape")
    one.ended("cancel, failure, success")
    check(len(notes()) == 1, "no notification for a build that ends in front of the user")
    blanking = [m for m in ("Inhibit", "SimulateUserActivity")
                if session.calls("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", m)]
    check(not blanking, f"the screensaver is left alone {blanking}")

    updates = entry_updates(capture)
    first = [u[3] for u in updates[:next((i for i, u in enumerate(updates) if not u[2]), len(updates))]]
    check(len(first) >= 3 and all(a < b for a, b in zip(first, first[1:])),
          f"the taskbar's progress rises during the first build {first}")
    check(all(u[1] == "application://org.orvandel.launcher.desktop" for u in updates), "every update names the entry")
    gaps = [b[0] - a[0] for a, b in zip(updates, updates[1:]) if a[2] and b[2]]
    check(gaps and min(gaps) > 0.15, f"a few updates a second at most (shortest gap {min(gaps or [0]):.3f} s)")
    check(len(updates) > 3 and not updates[-1][2], "the progress is cleared at the end")

    # In a Flatpak sandbox the portal inhibits; a word when the build is ready.
    two = Launcher("two", x, session.address, system.address, FLATPAK_ID="org.orvandel.launcher")
    portal = lambda: session.calls("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "Inhibit")
    two.build()
    e2e.wait_until(portal)
    check([tuple(c[:2]) + (dict(c[2]),) for c in portal()] == [("", 4, {"reason": "Building Orvandel"})],
          f"the portal is asked to inhibit suspend {portal()}")
    check(not inhibitors(), "logind is not asked inside the sandbox")
    x.unfocus()
    two.finish()
    closed = lambda: session.calls("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop/request/1_1/t1", "Close")
    check(e2e.wait_until(closed), "the portal's request is closed at the end of the build")
    e2e.wait_until(lambda: len(notes()) == 2)
    check([n[4] for n in notes()[1:]] == ["Orvandel is ready to play"], "one notification for the unfocused success")
    two.close_window()
    two.ended("ready in the sandbox")

    # Turned off: nothing held, nothing sent, no attention asked.
    start, scoped = len(entry_updates(capture)), len(scopes())
    off = Launcher("off", x, session.address, system.address, ORVL_DESKTOP="0")
    off.build()
    e2e.wait_until(lambda: off.progress_lines() >= 30)
    check(not inhibitors(), "ORVL_DESKTOP=0: no inhibitor during the build")
    x.unfocus()
    off.finish()
    e2e.wait_until(off.built)
    time.sleep(0.5)
    check(not off.urgent(), "ORVL_DESKTOP=0: no request for attention")
    off.close_window()
    off.ended("turned off")
    check(len(notes()) == 2 and len(entry_updates(capture)) == start, "ORVL_DESKTOP=0: no notification, no progress")

    # A quit mid-build lets go of everything; told not to yield, the build
    # runs at the launcher's priority, in no scope.
    quits = Launcher("quits", x, session.address, system.address, ORVL_BUILD_NICE="0")
    pid = quits.build()
    own = e2e.priority(quits.proc.pid)
    check(e2e.priority(pid) == own, f"ORVL_BUILD_NICE=0: the build at the launcher's priority {own}")
    e2e.wait_until(lambda: len(entry_updates(capture)) > start)
    quits.close_window()
    quits.ended("quit mid-build")
    check(e2e.wait_until(lambda: not inhibitors()), "no inhibitor after the quit")
    e2e.wait_until(lambda: not entry_updates(capture)[-1][2], 5)
    check(not entry_updates(capture)[-1][2], "the progress is cleared at the quit")
    check(len(scopes()) == scoped, "ORVL_DESKTOP=0 and ORVL_BUILD_NICE=0: no scope asked for")

    # A service manager that never answers: the build starts and yields all the same.
    hung = e2e.Bus(SCRIPT)
    manager = hung.mock("--template", "systemd", "--session")
    hung.wait_name("org.freedesktop.systemd1")
    manager.send_signal(signal.SIGSTOP)
    waits = Launcher("waits", x, hung.address, system.address)
    pid = waits.build()
    check(e2e.priority(pid) == (min(os.nice(0) + 10, 19), "best-effort: prio 7"), f"the build yields {e2e.priority(pid)}")
    seen = waits.progress_lines()
    check(e2e.wait_until(lambda: waits.progress_lines() > seen + 20), "the build goes on")
    waits.finish()
    check(e2e.wait_until(waits.built), "the build ends")
    waits.key("Escape")
    waits.ended("a service manager that never answers")

    # The session bus goes away mid-build; then the launcher is killed.
    killed = Launcher("killed", x, session.address, system.address)
    killed.build()
    check(e2e.wait_until(lambda: inhibitors() == [REASON]), "one sleep inhibitor during the build")
    session.stop()
    seen = killed.progress_lines()
    check(e2e.wait_until(lambda: killed.progress_lines() > seen + 20) and killed.proc.poll() is None,
          "the build goes on without the session bus")
    builds = killed.installers("--download")
    killed.proc.kill()
    killed.proc.wait()
    check(e2e.wait_until(lambda: not inhibitors()), "no inhibitor after SIGKILL of the launcher")
    for pid in builds:
        os.killpg(pid, signal.SIGKILL)  # the orphaned build's group

    # No bus at all: the road as before. The launcher itself runs niced: the
    # build yields from there, the game runs at the launcher's own priority.
    nowhere = "unix:path=" + os.path.join(WORK, "no-bus")
    road = Launcher("road", x, nowhere, nowhere, nice=12)
    pid = road.build()
    check(e2e.priority(pid) == (19, "best-effort: prio 7"), f"the build at niceness 19 at most {e2e.priority(pid)}")
    e2e.wait_until(lambda: road.progress_lines() >= 10)
    build = road.installers("--download")
    road.finish()
    # Reaped (gone from /proc) in the same pass that lays out the ready row.
    e2e.wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in build))
    road.key("Return")                  # Play
    road.ended("no bus")
    with open(os.path.join(road.home, "logs", "orvl.log")) as f:
        check(f.read() == "played\n", "the game ran")
    nice = e2e.read(os.path.join(road.home, "build", "host", "orvl.nice"))
    check(nice == "12\n", f"the game at the launcher's niceness 12 ({nice.strip()})")


SCRIPT.run(main, WORK)
