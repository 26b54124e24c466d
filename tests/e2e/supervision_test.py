"""The real launcher under Xvfb against stand-in installers that misbehave as
real ones do: a tool that leaves the process group and holds the output, an
installer that ignores SIGTERM or stops itself, one that reads a terminal, one
that exits while a leftover holds its output. After Cancel, Quit, Try Again
and signals to the launcher: the screen or exit that follows, no process left
of the installer's, no zombie of the launcher's, the log whole. Then two
launchers on one data folder.

    supervision_test.py LAUNCHER
"""

import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import e2e

LAUNCHER = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/launcher"

# Every stand-in starts as "$ORVL_PYTHON ... --status|--download"; what it
# does for --download is perl.
INSTALLER = r"""#!/bin/sh
export STANDIN_TOKEN=%(token)s
for mode; do :; done
if [ "$mode" = --status ]; then
  %(status)s
  echo '{"needs_disc": true}'; exit 0
fi
echo run >> "$(dirname "$0")/runs"
exec perl -MPOSIX -e '$| = 1; %(download)s'
"""
GROUP = "setpgrp(0, 0); "     # as the launcher asks with ORVL_PGROUP=1
ESCAPE = 'sub escape { if (!fork) { POSIX::setsid(); $SIG{TERM} = $_[0] || "DEFAULT"; print "escaped tool\\n"; sleep 1000; exit } }'


class Run:
    """One launcher on a data folder of its own, with its stand-in installer."""

    def __init__(self, test, download, status="", tty=False, home=None, args=()):
        self.test = test
        self.work = tempfile.mkdtemp(prefix="supervision-")
        test.addCleanup(shutil.rmtree, self.work, True)
        self.home = home or os.path.join(self.work, "home")
        self.token = os.path.basename(self.work)
        python = os.path.join(self.work, "python")
        with open(python, "w") as f:
            f.write(INSTALLER % {"status": status, "download": download, "token": self.token})
        os.chmod(python, 0o755)
        env = dict(os.environ, DISPLAY=test.x.display, ORVL_HOME=self.home, ORVL_PYTHON=python,
                   ORVL_SHARE=os.path.join(self.work, "share"))
        self.stderr = open(os.path.join(self.work, "stderr"), "w+")
        test.addCleanup(self.stderr.close)
        kw = dict(env=env, stdout=subprocess.DEVNULL, stderr=self.stderr)
        if tty:
            # A terminal of its own, as its controlling terminal and standard
            # input, with the launcher in the foreground, as when typed at a shell.
            master, slave = pty.openpty()
            name = os.ttyname(slave)
            os.close(slave)
            test.addCleanup(os.close, master)

            def foreground():
                os.setsid()
                fd = os.open(name, os.O_RDWR)
                os.dup2(fd, 0)
                os.tcsetpgrp(0, os.getpgrp())
            kw.update(preexec_fn=foreground)
        self.proc = subprocess.Popen([LAUNCHER, *args], **kw)
        test.addCleanup(self.kill)
        self.win = None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for pid in self.standins():
            os.kill(pid, signal.SIGKILL)

    def window(self):
        if not self.test.x.window("Orvandel", self.proc.pid, 10):
            self.test.fail("no window")

    def key(self, *keys):
        self.test.x.key(self.win, *keys)

    def pixel(self, img, x, y):
        return tuple(img[3 * (y * 960 + x):3 * (y * 960 + x) + 3])

    def screen(self, win):
        """Which screen the window shows, told from a few pixels."""
        img = self.test.x.run("import", "-window", str(win.id), "-depth", "8", "rgb:-")
        if len(img) != 960 * 600 * 3:
            return None
        cream = (250, 248, 240)
        if self.pixel(img, 905, 166) in ((14, 34, 22), (245, 178, 42)):
            return "working"
        if self.pixel(img, 620, 492) == cream:
            return "setup"
        if self.pixel(img, 740, 492) == cream:
            long_title = any(min(self.pixel(img, x, y)) > 200 for x in range(240, 340) for y in range(55, 85))
            return "failed" if long_title else "ready"
        return "other"

    def wait_screen(self, name, seconds):
        win = self.test.x.window("Orvandel", self.proc.pid, seconds, lambda w: self.screen(w) == name)
        self.win = win or self.win
        return win is not None

    @property
    def xid(self):
        return self.win.id

    def standins(self):
        """Living processes that descend from this run's installer: those that carry its mark."""
        mark = b"STANDIN_TOKEN=" + self.token.encode()
        return [pid for pid in e2e.pids() if pid != self.proc.pid and mark in (e2e.environ(pid) or [])
                and (st := e2e.stat(pid)) and st[0] not in "ZX"]

    def log(self):
        return e2e.read(os.path.join(self.home, "logs", "install.log"))

    def runs(self):
        return e2e.read(os.path.join(self.work, "runs")).count("run")

    def err(self):
        with open(self.stderr.name) as f:
            return f.read()

    def ended(self, seconds):
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def start_build(self, ready_line):
        self.window()
        self.test.assertTrue(self.wait_screen("setup", 30), "the set-up screen comes")
        self.key("Return")
        self.test.assertTrue(e2e.wait_until(lambda: ready_line in self.log(), 20),
                             f"the installer said {ready_line!r}")

    def clean(self, what):
        self.test.assertTrue(e2e.wait_until(lambda: not self.standins(), 2),
                             f"{what}: left running {self.standins()}")
        if self.proc.poll() is None:
            zombies = lambda: e2e.zombies(self.proc.pid)
            self.test.assertTrue(e2e.wait_until(lambda: not zombies(), 2), f"{what}: zombies {zombies()}")


class UnderXvfb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = e2e.Xvfb("1920x1080")

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()


class Supervision(UnderXvfb):
    def test_cancel_ends_every_descendant_within_its_bound(self):
        cases = [
            # what the installer does, which key cancels, the longest a cancel may take
            ("a tool that left the group holds the output", GROUP + ESCAPE + ' escape(); print "working\\n"; sleep 1000',
             "Escape", 6),
            ("installer and tool ignore SIGTERM", GROUP + '$SIG{TERM} = "IGNORE"; ' + ESCAPE +
             ' escape("IGNORE"); if (!fork) { sleep 1000 } print "working\\n"; sleep 1000', "Return", 9),
            ("the installer stopped itself", GROUP + 'print "working\\n"; kill "STOP", $$; sleep 1000', "Escape", 4),
            ("no process group made", 'print "working\\n"; sleep 1000', "Escape", 4),
        ]
        for what, download, key, bound in cases:
            with self.subTest(what):
                run = Run(self, download)
                run.start_build("working\n")
                begin = time.monotonic()
                run.key(key)
                if key == "Return":
                    time.sleep(3)
                    run.key("Escape")   # pressed again: the wait runs on from the first press
                self.assertTrue(run.wait_screen("setup", bound), f"{what}: back on the set-up screen")
                self.assertLess(time.monotonic() - begin, bound)
                run.clean(what)
                self.assertIn("working\n", run.log())
                run.kill()      # one window at a time takes the keys

    def test_installer_gone_and_output_held(self):
        # The status query's leftover holds its output; the build's too, after exit 0.
        leftover = 'if ! [ -e "$(dirname "$0")/status-done" ]; then setsid sleep 1000 & touch "$(dirname "$0")/status-done"; fi'
        run = Run(self, GROUP + ESCAPE + ' escape(); print "\\@step 1 1 Done\\n"; exit 0', status=leftover)
        run.window()
        self.assertTrue(run.wait_screen("setup", 10), "the checking screen ends with the installer's answer")
        run.clean("status query")
        run.key("Return")
        self.assertTrue(run.wait_screen("ready", 10), "the build ends with the installer's exit status")
        run.clean("build")
        self.assertIn("escaped tool\n", run.log())

    def test_terminal_input_reaches_no_installer(self):
        run = Run(self, GROUP + 'my $l = <STDIN>; print defined $l ? "read a line\\n" : "read the end\\n"; exit 0',
                  status="read answer", tty=True)
        run.window()
        self.assertTrue(run.wait_screen("setup", 30), "the status query was not stopped by the terminal")
        run.key("Return")
        self.assertTrue(run.wait_screen("ready", 30), "the build was not stopped by the terminal")
        self.assertEqual(run.log(), "read the end\n")

    def test_try_again_and_leaving_end_the_old_build(self):
        stubborn = (GROUP + 'print "\\@error Broke.\\n"; $SIG{TERM} = "IGNORE"; ' + ESCAPE +
                    ' escape("IGNORE"); sleep 1000')
        # Try Again over the failed build, whose leftovers ignore SIGTERM.
        again = 'if (-e "$ENV{ORVL_HOME}/again") { print "second\\n"; exit 0 } ' + stubborn
        run = Run(self, again)
        run.start_build("escaped tool\n")
        self.assertTrue(run.wait_screen("failed", 10))
        open(os.path.join(run.home, "again"), "w").close()
        run.key("Return")
        self.assertTrue(run.wait_screen("ready", 30))
        run.clean("Try Again")
        self.assertEqual(run.log(), "second\n")
        self.assertEqual(run.runs(), 2)
        run.kill()

        # Quit from there, and the launcher's own end by a signal, during a build.
        for what, leave in [("Quit", lambda r: r.key("Escape")),
                            ("SIGHUP", lambda r: r.proc.send_signal(signal.SIGHUP)),
                            ("SIGTERM", lambda r: r.proc.send_signal(signal.SIGTERM))]:
            with self.subTest(what):
                run = Run(self, stubborn)
                run.start_build("escaped tool\n")
                leave(run)
                self.assertEqual(run.ended(8), 0, f"{what}: the launcher ends with status 0")
                run.clean(what)
                self.assertIn("@error Broke.\nescaped tool\n", run.log())

    def test_killed_launcher_sends_its_installer_sigterm(self):
        run = Run(self, GROUP + '$SIG{TERM} = sub { open my $f, ">", "$ENV{ORVL_HOME}/term"; exit 0 }; '
                        'print "working\\n"; sleep 1000')
        run.start_build("working\n")
        run.proc.kill()
        run.proc.wait()
        self.assertTrue(e2e.wait_until(lambda: os.path.exists(os.path.join(run.home, "term")), 5))


class HeldKeys(UnderXvfb):
    def test_a_held_key_presses_once_and_may_move_the_focus(self):
        cases = [
            # key held 1.5 s (the server repeats it after 660 ms), pressed before it,
            # builds started, the build still running, the screen after
            ("Return", None, 1, True, "working"),
            ("Escape", "Return", 1, False, "setup"),
            ("Tab", "Left", 0, False, "setup"),     # from Quit back to Download and Build
        ]
        for key, first, builds, running, screen in cases:
            with self.subTest(key):
                run = Run(self, GROUP + 'print "working\\n"; sleep 1000')
                self.assertTrue(run.wait_screen("setup", 30))
                if first:
                    run.key(first)
                    self.assertTrue(first != "Return" or e2e.wait_until(lambda: "working" in run.log(), 20))
                self.x.focus(run.win)
                self.x.run("xdotool", "keydown", key)
                time.sleep(1.5)
                self.x.run("xdotool", "keyup", key)
                self.assertTrue(run.wait_screen(screen, 10), f"{key}: the {screen} screen")
                time.sleep(0.5)             # what a last repeat would have started
                self.assertEqual((run.runs(), bool(run.standins())), (builds, running), key)
                self.assertIsNone(run.proc.poll(), f"{key}: the launcher stays open")
                run.kill()


class OneLauncherPerFolder(UnderXvfb):
    def stacking(self):
        return self.x.stacking("Orvandel")

    def test_second_start_raises_the_first(self):
        first = Run(self, GROUP + 'print "working\\n"; sleep 1000')
        first.window()
        self.assertTrue(first.wait_screen("setup", 30))
        other = Run(self, 'exit 0')     # a second folder: both run
        other.window()
        self.assertTrue(other.wait_screen("setup", 30))
        self.assertEqual(self.stacking()[0], other.xid, "the newer window is on top")
        # The same folder, spelled another way.
        second = Run(self, 'exit 0', home=first.home + "/./")
        self.assertEqual(second.ended(5), 0)
        self.assertEqual(second.err(), "")
        self.assertTrue(e2e.wait_until(lambda: self.stacking()[0] == first.xid, 2), "the first window is raised")

        # During a build, a second start starts no second build.
        first.key("Return")
        self.assertTrue(e2e.wait_until(lambda: "working\n" in first.log(), 10))
        third = Run(self, 'exit 0', home=first.home)
        self.assertEqual(third.ended(5), 0)
        self.assertEqual(first.runs() + third.runs(), 1)
        self.assertIsNone(first.proc.poll())
        self.assertIsNone(other.proc.poll())

    def test_unreachable_first_launcher_is_named(self):
        # While the game runs the first launcher cannot answer.
        run = Run(self, 'exit 0')
        game = os.path.join(run.home, "build", "host", "orvl")
        os.makedirs(os.path.dirname(game))
        with open(game, "w") as f:
            f.write("#!/bin/sh\nsleep 3\n")
        os.chmod(game, 0o755)
        run.window()
        self.assertTrue(run.wait_screen("setup", 30))
        run.key("Return")
        self.assertTrue(run.wait_screen("ready", 30))
        run.key("Return")
        time.sleep(0.5)
        second = Run(self, 'exit 0', home=run.home)
        self.assertEqual(second.ended(5), 0)
        self.assertEqual(second.err(), f"launcher: already running for {run.home}\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
