#!/usr/bin/python3
"""The launcher under Xvfb speaking through the real speech-dispatcher, whose
output module writes what it is given into a file, with a stand-in for the
accessibility bus on a private session bus. Each case walks one road: two
focus moves, a build of two steps, F5 during it, then Play (Escape after a
failure); the table says what is heard, in order.  speech_test.py LAUNCHER"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

import dbus

import e2e

SCRIPT = e2e.Script()
check, helper, HELPERS = SCRIPT.check, SCRIPT.helper, SCRIPT.helpers

LAUNCHER = os.path.abspath(sys.argv[1])
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WORK = tempfile.mkdtemp()
X = None                # the X server, once started




INSTALLER = r'''
import os, sys, time
dest = sys.argv[sys.argv.index("--dest") + 1]
if sys.argv[-1] == "--status":
    sys.exit(print('{"needs_disc": true}'))
os.setpgid(0, 0)
for step, label in enumerate(os.environb.get(b"STEPS", b"Downloading|Building").split(b"|"), 1):
    sys.stdout.buffer.write(b"@step %d 2 %s\n" % (step, label))
    sys.stdout.flush()
    for i in range(1, 21):
        print(f"@progress {i / 20}", flush=True)
        time.sleep(0.03)
    time.sleep(0.5)
print("compiling parks", flush=True)
while not os.path.exists(os.path.join(dest, "go")):
    time.sleep(0.05)
plan = open(os.path.join(dest, "plan"), "rb").read()
if plan.startswith(b"@error"):
    sys.stdout.buffer.write(plan + b"\n")
    sys.exit(sys.stdout.flush() or 1)
os.makedirs(os.path.join(dest, "build", "host"))
with open(os.path.join(dest, "build", "host", "orvl"), "w") as f:
    f.write("#!/bin/sh\necho played\n" + ("exit 3\n" if plan == b"crash" else ""))
os.chmod(f.name, 0o755)
'''
A11Y = '''import dbus
BUS_NAME, MAIN_OBJ, MAIN_IFACE, SYSTEM_BUS = "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Status", False
def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary(parameters, signature="sv"))
'''
SPEECHD = '''AddModule "textfile" "sd_generic" "textfile.conf"
DefaultModule textfile
AudioOutputMethod "alsa"
AudioALSADevice "null"
'''
# Each text begins a line with ">"; a text may hold line breaks of its own.
TEXTFILE = '''GenericExecuteSynth "printf '>%%s\\\\n' \\'$DATA\\' >> %s"
GenericDelimiters "~"
GenericMaxChunkLength 10000
AddVoice "en" "MALE1" "default"
'''


def refusing(sock, real):
    """A socket in front of the real daemon's that spoils the first text of
    step 1 with a byte that is not UTF-8, which the daemon refuses; the
    times it did so."""
    HELPERS.append(socket.socket(socket.AF_UNIX))
    listener, spoiled = HELPERS[-1], []
    listener.bind(sock)
    listener.listen(8)

    def pipe(a, b, spoil):
        try:
            while data := a.recv(65536):
                if spoil and not spoiled and b"Step 1 of 2" in data:
                    spoiled.append(time.monotonic())
                    data = data.replace(b"Step 1 of 2", b"Step 1 of 2 \xff", 1)
                b.sendall(data)
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def serve():
        while True:
            try:
                near, _ = listener.accept()
            except OSError:
                return
            far = socket.socket(socket.AF_UNIX)
            far.connect(real)
            threading.Thread(target=pipe, args=(near, far, True), daemon=True).start()
            threading.Thread(target=pipe, args=(far, near, False), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return spoiled


def speech_server(folder, kind):
    """The socket and the file of what is said; "mute" takes connections and
    never answers, "refuses" has the daemon refuse one text."""
    os.makedirs(os.path.join(folder, "modules"))
    sock, spoken, server = os.path.join(folder, "sock"), os.path.join(folder, "spoken"), None
    own = sock + "-real" if kind == "refuses" else sock
    if kind == "mute":
        HELPERS.append(socket.socket(socket.AF_UNIX))
        HELPERS[-1].bind(sock)
        HELPERS[-1].listen(8)
    elif kind:
        with open(os.path.join(folder, "speechd.conf"), "w") as f:
            f.write(SPEECHD)
        with open(os.path.join(folder, "modules", "textfile.conf"), "w") as f:
            f.write(TEXTFILE % spoken)
        server = helper(["speech-dispatcher", "-s", "-C", folder, "-c", "unix_socket", "-S", own, "-t", "0", "-l", "1",
                         "-P", os.path.join(folder, "pid"), "-L", folder],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not e2e.wait_until(lambda: os.path.exists(own)):
            raise SystemExit("FAIL: speech-dispatcher did not start")
    if kind == "refuses":
        server.spoiled = refusing(sock, own)
    return sock, spoken, server


def session_bus(folder, status):
    """A private session bus with the accessibility bus's stand-in on it."""
    bus = e2e.Bus(SCRIPT)
    with open(os.path.join(folder, "a11y.py"), "w") as f:
        f.write(A11Y)
    params = "{%s}" % ", ".join('"%s": %s' % (k, str(v).lower()) for k, v in status.items())
    bus.mock("--template", f.name, "--parameters", params)
    bus.wait_name("org.a11y.Bus")
    return bus.address, bus.obj("org.a11y.Bus", "/org/a11y/bus", dbus.PROPERTIES_IFACE)


def texts(spoken):
    try:
        with open(spoken, encoding="utf-8", errors="replace") as f:
            return [t.strip() for t in ("\n" + f.read()).split("\n>")[1:]]
    except OSError:
        return []


def heard_in_order(said, expected):
    """The first pattern that no text said after the one before it matches, or None."""
    i = 0
    for want in expected:
        i = next((j + 1 for j in range(i, len(said)) if re.search(want, said[j])), None)
        if i is None:
            return want
    return None


SETUP = "Set up Orvandel. The game is built on this computer"
BUILD, QUIT, CANCEL = "Download and Build, button, 2 of 2", "Quit, button, 1 of 2", "Cancel, button, 1 of 1"
REPEAT = "Building. 100 percent. Time taken: 0 minutes [0-9]+ seconds. Latest line: compiling parks. You can"
READY, PLAY = "Orvandel. Ready to play. Version 1.0.1.", "Play, button, 2 of 2"
CRASHED, AGAIN = "The game stopped unexpectedly. The logs are in ", "Play Again, button, 2 of 2"
ROAD = [SETUP, BUILD, QUIT, BUILD, "Step 1 of 2: Downloading", "100 percent", "Step 2 of 2: Building",
        "100 percent", REPEAT, CANCEL]
ON, OFF = {"ScreenReaderEnabled": True}, {"ScreenReaderEnabled": False}
RUSSIAN = "Образ диска " * 27       # 594 bytes, kept at 511: cut inside a letter
# The file module writes what it hears in Latin-1: other letters come as "?".

# name, screen reader status (None: no session bus), speech server, environment, plan, heard in order
CASES = [
    ("set-up, a build of two steps, ready", ON, "real", {}, "", ROAD + [READY, PLAY]),
    ("a failure", ON, "real", {}, "@error Disk full.", ROAD + ["Disk full. The logs are in ", "Try Again, button"]),
    ("a crash, then another", ON, "real", {}, "crash", ROAD + [READY, PLAY, CRASHED, AGAIN, CRASHED, AGAIN]),
    ("IsEnabled where ScreenReaderEnabled is missing", {"IsEnabled": True}, "real", {}, "", [SETUP, BUILD]),
    ("screen reader off, then on at ready", OFF, "real", {}, "", [READY, PLAY]),
    ("ORVL_SPEECH=1 without a session bus", None, "real", {"ORVL_SPEECH": "1"}, "", ROAD + [READY, PLAY]),
    ("ORVL_SPEECH=0 with a screen reader", ON, "real", {"ORVL_SPEECH": "0"}, "", []),
    ("no speech server", ON, None, {}, "", []),
    ("a speech server that never answers", ON, "mute", {}, "", []),
    ("a speech server that dies", ON, "dies", {}, "", [SETUP, BUILD]),
    ("an @error with a byte that is not UTF-8", ON, "real", {}, "@error Disk \udcff full",
     ROAD + ["^Disk . full. The logs are in ", "Try Again, button"]),
    ("a long @error in Russian", ON, "real", {}, "@error " + RUSSIAN,
     ROAD + [r"^(\S{5} \S{5} ){23}\S\S\. The logs are in ", "Try Again, button"]),
    ("a step label with escape sequences", ON, "real", {"STEPS": "\x1b[1mDown\x1b[0mload\x07ing|\x1b]0;t\x07Building"},
     "", ROAD + [READY, PLAY]),
    ("a text refused", ON, "refuses", {}, "", ROAD + [READY, PLAY]),
]


def run_case(share, name, status, kind, extra, plan, expected):
    home = os.path.join(WORK, re.sub("[ =]", "-", name))
    os.makedirs(home)
    with open(os.path.join(home, "plan"), "wb") as f:
        f.write(plan.encode("utf-8", "surrogateescape"))
    address, a11y = session_bus(home, status) if status else ("unix:path=" + home + "/no-bus", None)
    sock, spoken, server = speech_server(os.path.join(home, "speechd"), kind)
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("ORVL_")}, ORVL_HOME=home,
               ORVL_SHARE=share, ORVL_PYTHON="/usr/bin/python3", DBUS_SESSION_BUS_ADDRESS=address,
               DBUS_SYSTEM_BUS_ADDRESS=address, SPEECHD_ADDRESS="unix_socket:" + sock, **extra)
    err = open(os.path.join(home, "stderr"), "w+")
    proc = helper([LAUNCHER], env=env, stderr=err)
    logs = os.path.join(home, "logs", "install.log")
    log = lambda: open(logs, errors="replace").read() if os.path.exists(logs) else ""
    follows = bool(expected) and status != OFF

    def press(k, text=None):
        """The key, then (while the case speaks) the text it brings."""
        mark = len(texts(spoken))
        X.key(X.window("Orvandel", proc.pid, 30), k)
        if text and follows:
            e2e.wait_until(lambda: not heard_in_order(texts(spoken)[mark:], [text]))

    if follows:                                 # the set-up screen's row is laid out
        e2e.wait_until(lambda: not heard_in_order(texts(spoken), [BUILD]))
    else:
        time.sleep(3)
    if kind == "dies":
        server.kill()
        follows = False
    press("Left", QUIT)
    press("Right", BUILD)
    press("Return")
    e2e.wait_until(lambda: "@step" in log())
    if kind == "refuses":
        e2e.wait_until(lambda: "@step 2" in log())
        check(e2e.wait_until(lambda: not heard_in_order(texts(spoken), ["Step 2 of 2"]), 1) and server.spoiled,
              f"{name}: the next step heard within a second of a text refused")
    e2e.wait_until(lambda: "compiling parks" in log())
    press("F5", REPEAT)
    if status == OFF:
        check(texts(spoken) == [], f"{name}: nothing said while the screen reader is off")
    open(os.path.join(home, "go"), "w").close()
    e2e.wait_until(lambda: "@error" in log() if plan.startswith("@") else os.path.exists(home + "/build/host/orvl"))
    time.sleep(1)
    if status == OFF:
        a11y.Set("org.a11y.Status", "ScreenReaderEnabled", dbus.Boolean(True))
        follows = True
        e2e.wait_until(lambda: not heard_in_order(texts(spoken), [PLAY]))
    for k in {"": ["Return"], "crash": ["Return", "Return", "Escape"]}.get(plan, ["Escape"]):
        press(k, AGAIN if k == "Return" and plan == "crash" else None)
    try:
        code = proc.wait(20)
    except subprocess.TimeoutExpired:
        code = "still running"
        proc.kill()
    check(code == 0, f"{name}: the launcher ends with status 0 ({code})")
    err.seek(0)
    check(err.read() == "", f"{name}: nothing on standard error")
    if not plan:
        with open(os.path.join(home, "logs", "orvl.log")) as f:
            check(f.read() == "played\n", f"{name}: the game ran")
    if server:
        server.kill()
    heard = texts(spoken)
    check(heard_in_order(heard, expected) is None and (expected or not heard),
          f"{name}: heard in order, missing {heard_in_order(heard, expected)!r} in {heard}")
    check(all(a != b for a, b in zip(heard, heard[1:])), f"{name}: no text twice in a row")
    percents = [t for t in heard if t.endswith("percent")]
    check(set(percents) <= {"100 percent"}, f"{name}: of a short build's progress only its ends {percents}")


def main():
    share = os.path.join(WORK, "share")
    os.makedirs(os.path.join(share, "src", "orvl", "tools", "install"))
    with open(os.path.join(share, "src", "orvl", "tools", "install", "install.py"), "w") as f:
        f.write(INSTALLER)
    global X
    X = e2e.Xvfb("960x600")
    HELPERS.insert(0, X)
    os.environ["DISPLAY"] = X.display
    for case in CASES:
        run_case(share, *case)


SCRIPT.run(main, WORK)
