"""Tests of the sample installer and the sample game, run the way the launcher
runs them: the installer through Debian's python3 in isolated mode, with
ORVL_PGROUP=1 and PYTHONUNBUFFERED=1, both outputs on one pipe.

    /usr/bin/python3 -m unittest discover -s tests/sample -p 'test_*.py'
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
SRC = REPO / "sample" / "share" / "src"
INSTALLER = SRC / "orvl" / "tools" / "install" / "install.py"
VANTREL = SRC / "vantrel"
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
MAX_LINE = 8191
STEPS = 5


def installer_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ORVL_")}
    env.update(ORVL_PGROUP="1", PYTHONUNBUFFERED="1",
               ORVL_SAMPLE_FETCH_SECONDS="0.2", ORVL_SAMPLE_UNITS="3")
    env.update(extra)
    return env


def installer_argv(dest, mode, ffmpeg=None, vorbis=None):
    argv = [PYTHON, "-I", str(INSTALLER), "--dest", str(dest), "--vantrel", str(VANTREL)]
    if ffmpeg is not None:
        argv += ["--ffmpeg", str(ffmpeg)]
    if vorbis is not None:
        argv += ["--vorbis", str(vorbis)]
    return argv + [mode]


def run_installer(dest, mode, env=None, ffmpeg=None, vorbis=None, timeout=240):
    """Exit status and the combined output, as bytes."""
    proc = subprocess.run(installer_argv(dest, mode, ffmpeg, vorbis),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=env or installer_env(),
                          cwd=tempfile.gettempdir(), timeout=timeout)
    return proc.returncode, proc.stdout


def launcher_reading(output):
    """What the launcher makes of a status output: 'ready', 'setup', 'update'
    or 'failed', by its byte search after the last '{' of the first 4095 bytes."""
    text = output[:4095]
    start = text.rfind(b"{")
    if start < 0:
        return "failed"
    tail = text[start:]
    if b'"ready": true' in tail:
        return "ready"
    if b'"needs_disc": true' in tail:
        return "setup"
    return "update"


def status_of(dest):
    """(launcher's reading, the JSON object) of a --status run that must succeed."""
    rc, out = run_installer(dest, "--status")
    if rc != 0:
        raise AssertionError("--status exited %d: %r" % (rc, out))
    return launcher_reading(out), json.loads(out[out.rfind(b"{"):])


def lines_of(output):
    """The lines of an output; a missing final newline is an error."""
    if output and not output.endswith(b"\n"):
        raise AssertionError("output does not end with a newline: %r" % output[-200:])
    return output.split(b"\n")[:-1]


def errors_in(output):
    return [l for l in lines_of(output) if l.startswith(b"@error ")]


def record(dest, version):
    path = Path(dest) / "build" / "installed.json"
    data = json.loads(path.read_text())
    data["version"] = version
    path.write_text(json.dumps(data))


class ProtocolChecks:
    def assertProtocol(self, output):
        """Every line is one the launcher reads as meant; returns the steps seen
        and the bracketed counts."""
        steps, counts = [], []
        for line in lines_of(output):
            self.assertLess(len(line), MAX_LINE, line[:100])
            self.assertNotIn(b"\r", line)
            if line.startswith(b"@step "):
                fields = line.split(b" ", 3)
                self.assertEqual(len(fields), 4, line)
                n, m = int(fields[1]), int(fields[2])
                self.assertTrue(fields[3].strip(), "step without label: %r" % line)
                steps.append((n, m))
            elif line.startswith(b"@progress "):
                value = float(line[len(b"@progress "):])
                self.assertTrue(0.0 <= value <= 1.0, line)
            elif line.startswith(b"["):
                n, m = line[1:line.index(b"]")].split(b"/")
                counts.append((int(n), int(m)))
            else:
                # Anything else starting with "@" would be a misspelt keyword.
                self.assertTrue(not line.startswith(b"@") or line == b"@done"
                                or line.startswith(b"@error "), line)
        return steps, counts


class StatusTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="orvl-status-"))
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_nothing_built_needs_the_disc(self):
        empty = self.tmp / "empty"
        empty.mkdir()
        for dest in (self.tmp / "missing", empty):
            with self.subTest(dest=dest.name):
                rc, out = run_installer(dest, "--status")
                self.assertEqual(rc, 0, out)
                self.assertLess(len(out), 4095)
                self.assertEqual(launcher_reading(out), "setup")
                data = json.loads(out[out.rfind(b"{"):])
                self.assertIs(data["ready"], False)
                self.assertIs(data["needs_disc"], True)
        self.assertFalse((self.tmp / "missing").exists(), "--status created DEST")

    def test_garbage_record_counts_as_nothing_built(self):
        (self.tmp / "build").mkdir()
        (self.tmp / "build" / "installed.json").write_text("{not json")
        self.assertEqual(status_of(self.tmp)[0], "setup")

    def test_missing_ffmpeg_or_vorbis_is_an_error(self):
        missing = self.tmp / "no-such-file"
        for mode in ("--status", "--download"):
            for option in ("ffmpeg", "vorbis"):
                with self.subTest(mode=mode, option=option):
                    rc, out = run_installer(self.tmp / "d", mode, **{option: missing})
                    self.assertNotEqual(rc, 0)
                    errors = errors_in(out)
                    self.assertEqual(len(errors), 1, out)
                    self.assertIn(str(missing).encode(), errors[0])
        self.assertFalse((self.tmp / "d").exists(), "a rejected run still did work")

    def test_existing_ffmpeg_and_vorbis_are_accepted(self):
        rc, out = run_installer(self.tmp, "--status", ffmpeg=sys.executable, vorbis=self.tmp)
        self.assertEqual(rc, 0, out)
        self.assertEqual(launcher_reading(out), "setup")

    def test_wrong_command_lines_are_errors(self):
        base = installer_argv(self.tmp, "--status")[:-1]
        for argv in (base, base + ["--status", "--download"], base + ["--frobnicate"],
                     [PYTHON, "-I", str(INSTALLER), "--status"]):
            with self.subTest(argv=argv[3:]):
                proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      env=installer_env())
                self.assertNotEqual(proc.returncode, 0)
                self.assertEqual(len(errors_in(proc.stdout)), 1, proc.stdout)


_shared = {}


def shared_build():
    """One quick download and build, made once for the tests that only look at it."""
    if "dest" not in _shared:
        tmp = tempfile.mkdtemp(prefix="orvl-build-")
        _shared["tmp"] = tmp
        dest = Path(tmp) / "home"
        _shared["result"] = run_installer(dest, "--download")
        _shared["dest"] = dest
    return _shared["dest"], _shared["result"]


def tearDownModule():
    if "tmp" in _shared:
        shutil.rmtree(_shared["tmp"], ignore_errors=True)


class DownloadTest(unittest.TestCase, ProtocolChecks):
    @classmethod
    def setUpClass(cls):
        cls.dest, (cls.rc, cls.out) = shared_build()

    def test_succeeds_and_leaves_the_game(self):
        self.assertEqual(self.rc, 0, self.out[-3000:])
        self.assertEqual(errors_in(self.out), [])
        game = self.dest / "build" / "host" / "orvl"
        self.assertTrue(game.is_file())
        self.assertTrue(os.access(game, os.X_OK))
        self.assertEqual(len((self.dest / "game" / "DATA" / "PALETTE.BIN").read_bytes()), 48)

    def test_output_follows_the_protocol(self):
        steps, counts = self.assertProtocol(self.out)
        self.assertEqual(steps, [(n, STEPS) for n in range(1, STEPS + 1)])
        # Ninja's own lines came through: 3 units, the table, main.c, the link.
        self.assertTrue(counts, "no [n/m] line from Ninja")
        self.assertEqual(counts[-1][0], counts[-1][1])
        self.assertEqual(counts[-1][1], 6)
        self.assertTrue(all(0 < n <= m for n, m in counts), counts)
        progress = [float(l.split()[1]) for l in lines_of(self.out)
                    if l.startswith(b"@progress ")]
        self.assertIn(1.0, progress)

    def test_status_after_the_build_is_ready(self):
        reading, data = status_of(self.dest)
        self.assertEqual(reading, "ready")
        self.assertIs(data["needs_disc"], False)


class UpdateTest(unittest.TestCase, ProtocolChecks):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="orvl-update-"))
        self.addCleanup(shutil.rmtree, self.tmp)
        self.dest = self.tmp / "home"

    def test_older_build_is_an_update_and_rebuilds(self):
        rc, out = run_installer(self.dest, "--download", installer_env(ORVL_SAMPLE_UNITS="4"))
        self.assertEqual(rc, 0, out[-3000:])
        current = status_of(self.dest)[1]["version"]

        record(self.dest, "0.9.0")
        reading, data = status_of(self.dest)
        self.assertEqual(reading, "update")
        self.assertEqual((data["ready"], data["needs_disc"]), (False, False))

        rc, out = run_installer(self.dest, "--download", installer_env(ORVL_SAMPLE_UNITS="2"))
        self.assertEqual(rc, 0, out[-3000:])
        self.assertProtocol(out)
        self.assertEqual(status_of(self.dest)[0], "ready")
        self.assertEqual(status_of(self.dest)[1]["built"], current)
        units = sorted(p.name for p in (self.dest / "build" / "recomp").glob("recomp_*.c"))
        self.assertEqual(units, ["recomp_000.c", "recomp_001.c", "recomp_table.c"])

        # A current record without its game is not ready, but the disc is still here.
        (self.dest / "build" / "host" / "orvl").unlink()
        self.assertEqual(status_of(self.dest)[0], "update")
        # Without the disc it must be fetched again.
        (self.dest / "disc" / "orvandel.img").unlink()
        self.assertEqual(status_of(self.dest)[0], "setup")

    def test_build_dir_made_elsewhere_is_replaced(self):
        rc, out = run_installer(self.dest, "--download")
        self.assertEqual(rc, 0, out[-3000:])
        moved = self.tmp / "moved"
        self.dest.rename(moved)
        record(moved, "0.9.0")
        rc, out = run_installer(moved, "--download")
        self.assertEqual(rc, 0, out[-3000:])
        self.assertEqual(status_of(moved)[0], "ready")


class FailureTest(unittest.TestCase, ProtocolChecks):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="orvl-fail-"))
        self.addCleanup(shutil.rmtree, self.tmp)
        self.dest = self.tmp / "home"

    def assertFailsWithError(self, rc, out):
        self.assertNotEqual(rc, 0)
        self.assertProtocol(out)
        errors = errors_in(out)
        self.assertEqual(len(errors), 1, out[-3000:])
        self.assertGreater(len(errors[0]), len(b"@error "))
        self.assertEqual(lines_of(out)[-1], errors[0], "the @error line is not the last")

    def test_broken_fetch_keeps_no_disc(self):
        rc, out = run_installer(self.dest, "--download", installer_env(ORVL_SAMPLE_FAIL="fetch"))
        self.assertFailsWithError(rc, out)
        self.assertEqual(os.listdir(self.dest / "disc"), [])
        self.assertEqual(status_of(self.dest)[0], "setup")

    def test_damaged_disc_fails_verification(self):
        rc, out = run_installer(self.dest, "--download", installer_env(ORVL_SAMPLE_FAIL="verify"))
        self.assertFailsWithError(rc, out)
        self.assertIn(b"@step 2 ", out)
        self.assertNotIn(b"@step 3 ", out)
        self.assertEqual(os.listdir(self.dest / "disc"), [])

    def test_failed_compile_reports_and_a_retry_recovers(self):
        rc, out = run_installer(self.dest, "--download", installer_env(ORVL_SAMPLE_FAIL="build"))
        self.assertFailsWithError(rc, out)
        self.assertIn(b"recomp_002.c", out)
        self.assertIn(b"FAILED:", out)  # Ninja's own report came through
        self.assertFalse((self.dest / "build" / "host" / "orvl").exists())
        self.assertEqual(status_of(self.dest)[0], "setup")

        rc, out = run_installer(self.dest, "--download")
        self.assertEqual(rc, 0, out[-3000:])
        self.assertEqual(status_of(self.dest)[0], "ready")

    def test_missing_build_tools_are_named(self):
        bin_dir = self.tmp / "bin"
        bin_dir.mkdir()
        for tool in ("cmake", "cc", "pkg-config"):
            found = shutil.which(tool)
            self.assertIsNotNone(found, "this machine lacks " + tool)
            os.symlink(found, bin_dir / tool)
        env = installer_env(PATH=str(bin_dir))
        env.pop("CC", None)
        rc, out = run_installer(self.dest, "--download", env)
        self.assertFailsWithError(rc, out)
        error = errors_in(out)[0]
        self.assertIn(b"ninja", error)
        self.assertIn(b"ninja-build", error)
        self.assertNotIn(b"cmake", error)
        self.assertFalse((self.dest / "disc").exists(), "it fetched before finding the tools")

    def test_bad_knob_values_are_errors(self):
        for name, value in (("ORVL_SAMPLE_UNITS", "0"), ("ORVL_SAMPLE_UNITS", "many"),
                            ("ORVL_SAMPLE_FAIL", "everything")):
            with self.subTest(name=name, value=value):
                rc, out = run_installer(self.dest, "--download", installer_env(**{name: value}))
                self.assertFailsWithError(rc, out)


def process_table():
    """pid -> (state, ppid, pgrp, name) of every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        table[int(entry)] = (fields[0], int(fields[1]), int(fields[2]), name)
    return table


def descendants(pid):
    table = process_table()
    found, todo = {}, [pid]
    while todo:
        parent = todo.pop()
        for child, (_, ppid, _, name) in table.items():
            if ppid == parent and child not in found:
                found[child] = name
                todo.append(child)
    return found


def still_running(pids, pgid):
    """Those of `pids`, and members of group `pgid`, that have not ended.
    A zombie has ended: on some machines nobody reaps orphans."""
    table = process_table()
    return sorted(p for p, (state, _, group, _) in table.items()
                  if state != "Z" and (p in pids or group == pgid))


class RunningInstaller:
    """An installer run whose output is read as it comes."""

    def __init__(self, dest, env):
        self.proc = subprocess.Popen(installer_argv(dest, "--download"),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env,
                                     cwd=tempfile.gettempdir())
        self.lines, self.ended = [], False
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def wait_for_line(self, prefix, timeout=60):
        with self.cond:
            self.cond.wait_for(lambda: self.ended or any(
                l.startswith(prefix) for l in self.lines), timeout)
            return any(l.startswith(prefix) for l in self.lines)

    def output(self):
        with self.cond:
            return b"".join(self.lines)

    def stop(self):
        if self.proc.poll() is None:
            try:
                if os.getpgid(self.proc.pid) == self.proc.pid:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                else:
                    self.proc.kill()
            except ProcessLookupError:
                pass
        self.proc.wait()
        self.reader.join(10)
        self.proc.stdout.close()


class CancelTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="orvl-cancel-"))
        self.addCleanup(shutil.rmtree, self.tmp)

    def start(self, **env):
        run = RunningInstaller(self.tmp / "home", installer_env(**env))
        self.addCleanup(run.stop)
        return run

    def test_group_of_its_own_only_when_asked(self):
        run = self.start(ORVL_SAMPLE_FETCH_SECONDS="60")
        self.assertTrue(run.wait_for_line(b"@progress "), run.output())
        self.assertEqual(os.getpgid(run.proc.pid), run.proc.pid)
        self.assertNotEqual(os.getpgrp(), run.proc.pid)

        env = installer_env(ORVL_SAMPLE_FETCH_SECONDS="60")
        del env["ORVL_PGROUP"]
        plain = RunningInstaller(self.tmp / "other", env)
        self.addCleanup(plain.stop)
        self.assertTrue(plain.wait_for_line(b"@progress "), plain.output())
        self.assertEqual(os.getpgid(plain.proc.pid), os.getpgrp())

    def cancel(self, number, marker, tool, env, group=True):
        """Start a build, wait until step `number` is under way (`marker` seen,
        `tool` running), send SIGTERM, and check that everything ends."""
        run = self.start(**env)
        self.assertTrue(run.wait_for_line(marker), run.output()[-2000:])
        # Lines that arrive late would show a later step by now.
        steps = [l for l in run.output().split(b"\n") if l.startswith(b"@step ")]
        self.assertEqual(int(steps[-1].split()[1]), number, steps)
        pgid = run.proc.pid
        self.assertEqual(os.getpgid(pgid), pgid)
        children = descendants(pgid)
        if tool:
            self.assertIn(tool, children.values())

        if group:
            os.killpg(pgid, signal.SIGTERM)
        else:
            os.kill(pgid, signal.SIGTERM)
        try:
            rc = run.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.fail("the installer did not end on SIGTERM")
        self.assertNotEqual(rc, 0)
        deadline = time.monotonic() + 10
        while still_running(children, pgid) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(still_running(children, pgid), [], children)
        run.reader.join(10)
        self.assertFalse(run.reader.is_alive(), "something still holds the output open")
        self.assertNotIn(b"Traceback", run.output())
        if tool == "ninja":
            # Ninja was told to stop, rather than killed or left to finish.
            self.assertIn(b"ninja: build stopped: interrupted", run.output())

    def test_sigterm_to_the_group_ends_everything(self):
        with self.subTest(phase="fetch"):
            self.cancel(1, b"@progress ", None, {"ORVL_SAMPLE_FETCH_SECONDS": "60"})
        with self.subTest(phase="configure"):
            self.cancel(4, b"-- ", "cmake", {})
        with self.subTest(phase="build"):
            self.cancel(5, b"[1/", "ninja", {"ORVL_SAMPLE_UNITS": "48"})

    def test_sigterm_to_the_installer_alone_ends_its_build(self):
        self.cancel(5, b"[1/", "ninja", {"ORVL_SAMPLE_UNITS": "48"}, group=False)


@unittest.skipUnless(shutil.which("Xvfb"), "Xvfb is not installed")
class GameTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dest, (rc, out) = shared_build()
        if rc != 0:
            raise unittest.SkipTest("the sample build failed (DownloadTest says why)")
        cls.game = cls.dest / "build" / "host" / "orvl"
        try:
            cls.x = e2e.Xvfb("800x600")
        except RuntimeError:
            raise unittest.SkipTest("Xvfb did not start")
        cls.display = cls.x.display

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def play(self, *args, env=None):
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("SDL_VIDEODRIVER", "ORVL_GAME_ARGS_FILE")}
        full_env["DISPLAY"] = self.display
        full_env.update(env or {})
        proc = subprocess.run([str(self.game), "--game", str(self.dest / "game"), "--run"]
                              + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, env=full_env, timeout=60,
                              cwd=tempfile.gettempdir())
        return proc.returncode, proc.stdout.decode(errors="replace")

    def test_quit_after_ends_normally(self):
        rc, out = self.play("--quit-after", "1")
        self.assertEqual(rc, 0, out)
        self.assertIn("orvl: started", out)
        self.assertIn("orvl: bye", out)
        self.assertIn("orvl: game dir %s" % (self.dest / "game"), out)
        self.assertNotIn("no palette", out)

    def test_crash_knobs_give_their_exit_status(self):
        for args, expected in ((["--crash"], 3), (["--signal"], -signal.SIGSEGV),
                               (["--exit", "5"], 5)):
            with self.subTest(args=args):
                rc, out = self.play(*args)
                self.assertEqual(rc, expected, out)
                self.assertIn("orvl: started", out)

    def test_arguments_file_holds_exactly_the_arguments(self):
        path = Path(tempfile.mkdtemp(prefix="orvl-args-")) / "args.txt"
        self.addCleanup(shutil.rmtree, path.parent)
        extra = ["--quit-after", "0", "two words", "--game", "--run", "ünïcode"]
        rc, out = self.play(*extra, env={"ORVL_GAME_ARGS_FILE": str(path)})
        self.assertEqual(rc, 0, out)
        self.assertEqual(path.read_text(encoding="utf-8").split("\n"),
                         ["--game", str(self.dest / "game"), "--run"] + extra + [""])

    def test_bad_command_line_is_refused(self):
        proc = subprocess.run([str(self.game), "--run"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=30,
                              env=dict(os.environ, DISPLAY=self.display))
        self.assertEqual(proc.returncode, 2, proc.stdout)


if __name__ == "__main__":
    unittest.main()
