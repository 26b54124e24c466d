"""The real launcher under Xvfb draws a frame only when its picture changes:
frames presented, counted by a preloaded shim, over an idle second and over
a silent build; a window uncovered or shown again is drawn again; the screen
after a build's last line is exact; the time-left line comes once counts
advance and goes with a new step and with the working screen; the renderer
chosen where OpenGL is Mesa's software rasteriser.

    frames_test.py LAUNCHER PRESENTS_SHIM
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from Xlib import X

import e2e

SHIM = os.path.abspath(sys.argv.pop(2)) if len(sys.argv) > 2 else "build/tests/libpresents.so"
LAUNCHER = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/launcher"

# ---- the launcher with its stand-in installer ----

INSTALLER = """#!/bin/sh
for mode; do :; done
if [ "$mode" = --status ]; then echo '{"ready": %(ready)s, "needs_disc": true}'; exit 0; fi
touch "$(dirname "$0")/started"
%(download)s
"""


class Launcher:
    def __init__(self, test, ready="false", download="", **env):
        self.test, self.work = test, tempfile.mkdtemp(prefix="frames-")
        test.addCleanup(shutil.rmtree, self.work, True)
        python = os.path.join(self.work, "python")
        with open(python, "w") as f:
            f.write(INSTALLER % dict(ready=ready, download=download))
        os.chmod(python, 0o755)
        self.presents = os.path.join(self.work, "presents")
        self.env = dict(os.environ, DISPLAY=test.display, ORVL_PYTHON=python, ORVL_HOME=os.path.join(self.work, "home"),
                        ORVL_SHARE=self.work, PRESENTS=self.presents, LD_PRELOAD=SHIM, ORVL_DESKTOP="0",
                        DBUS_SESSION_BUS_ADDRESS="disabled:",
                        ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0", **env)
        self.env.pop("SDL_VIDEODRIVER", None)
        self.proc = subprocess.Popen([LAUNCHER], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        test.addCleanup(self.end)
        test.assertTrue(e2e.wait_until(lambda: len(self.frames()) >= 2, 30), "no first screen")
        self.win = test.x.window("Orvandel", self.proc.pid, 30)
        test.assertIsNotNone(self.win, "no window")
        self.wid = str(self.win.id)

    def end(self):
        if self.proc.poll() is not None:
            return
        # SIGTERM leaves as Quit does: a running build is ended with it.
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def frames(self):
        try:
            with open(self.presents) as f:
                return [line.split() for line in f]
        except OSError:
            return []

    def settled(self, quiet=1.0):
        """The number of frames once none has come for quiet seconds."""
        n, since = len(self.frames()), time.monotonic()
        while time.monotonic() - since < quiet:
            time.sleep(0.05)
            if len(self.frames()) != n:
                n, since = len(self.frames()), time.monotonic()
        return n

    def xdo(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30)

    def build(self):
        self.test.x.key(self.win, "Return")
        started = os.path.join(self.work, "started")
        self.test.assertTrue(e2e.wait_until(lambda: os.path.exists(started), 20), "no build started")

    def image(self):
        return self.test.x.run("import", "-window", self.wid, "-depth", "8", "rgb:-")


class Frames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = e2e.Xvfb("1280x800")
        cls.display = cls.x.display

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def test_waiting_draws_only_what_changes(self):
        # A second of waiting: (case, installer's download, most frames, fewest).
        cases = [
            ("idle on the ready screen", None, 0, 0),
            ("silent build: only the sweep moves", "exec sleep 1000", 1000 // 50 + 2, 5),
            ("silent build at a known fraction: only the clock", "echo '@progress 0.5'; exec sleep 1000", 2, 0),
        ]
        for name, download, most, fewest in cases:
            with self.subTest(name):
                run = Launcher(self, ready="true" if download is None else "false", download=download or "")
                if download:
                    run.build()
                    time.sleep(0.5)
                else:
                    run.settled()
                before = len(run.frames())
                time.sleep(1.0)
                drawn = len(run.frames()) - before
                run.end()
                self.assertLessEqual(drawn, most)
                self.assertGreaterEqual(drawn, fewest)

    def test_window_drawn_again_when_it_shows_again(self):
        run = Launcher(self, ready="true")
        dpy = self.x.dpy
        root = dpy.screen().root

        def cover():
            w = root.create_window(0, 0, 1280, 800, 0, X.CopyFromParent, override_redirect=True)
            w.map()
            dpy.sync()
            time.sleep(0.3)
            w.destroy()
            dpy.sync()

        for name, hide in (("covered, then uncovered", cover),
                           ("hidden, then shown", lambda: (run.xdo("windowunmap", "--sync", run.wid),
                                                           run.xdo("windowmap", "--sync", run.wid)))):
            with self.subTest(name):
                n = run.settled()
                hide()
                self.assertTrue(e2e.wait_until(lambda: len(run.frames()) > n, 5), "not drawn again")

    def test_screen_after_the_last_line_is_exact(self):
        lines = "i=0; while [ $i -lt 300 ]; do i=$((i+1)); echo \"[$i/300] Building C object x$i.o\"; done"
        run = Launcher(self, download=lines)
        shot = os.path.join(run.work, "ready.bmp")
        subprocess.run([LAUNCHER], env=dict(run.env, ORVL_LAUNCHER_SHOT=shot, ORVL_LAUNCHER_STATE="ready"),
                       check=True, timeout=30)
        want = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], capture_output=True, timeout=30).stdout
        run.build()
        self.assertTrue(e2e.wait_until(lambda: run.image() == want, 20), "the ready screen differs from its image")

    def test_time_left_line_comes_and_goes(self):
        counts = "i=0; while [ $i -lt %d ]; do i=$((i+1)); echo \"[$i/%d] %s $i\"; sleep 0.5; done"
        run = Launcher(self, download="echo '@step 1 2 Compiling'; %s; echo '@step 2 2 Linking'; %s"
                       % (counts % (24, 24, "cc"), counts % (14, 14, "ld")))

        def line_shown():
            # Text under the detail line, at (48, 222): pixels far lighter than the background.
            image = run.image()
            if len(image) != 960 * 600 * 3:
                return None
            return any(max(image[(y * 960 + x) * 3:(y * 960 + x) * 3 + 3]) > 110
                       for y in range(224, 238) for x in range(48, 400, 2))

        run.build()
        self.assertIs(line_shown(), False, "a time-left line in the build's first seconds")
        self.assertTrue(e2e.wait_until(line_shown, 15, 0.2), "no time-left line once counts advance")
        self.assertTrue(e2e.wait_until(lambda: line_shown() is False, 15, 0.2), "the line stays into a new step")
        # The build's end writes its record; the screen after it has no line.
        record = os.path.join(run.env["ORVL_HOME"], "build-times")
        self.assertTrue(e2e.wait_until(lambda: os.path.exists(record), 20), "no record of the build")
        run.settled(0.5)
        self.assertIs(line_shown(), False, "a time-left line after the build")

    def test_renderer_where_opengl_is_software(self):
        # Xvfb's OpenGL is Mesa's llvmpipe.
        for driver, want in ((None, "software"), ("opengl", "opengl"), ("software", "software")):
            with self.subTest(driver=driver):
                run = Launcher(self, ready="true", **({"SDL_RENDER_DRIVER": driver} if driver else {}))
                run.end()
                self.assertEqual({f[1] for f in run.frames()}, {want})


if __name__ == "__main__":
    unittest.main()
