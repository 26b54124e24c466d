"""tools/check-installer against the sample installer and against small
installers that each break one of the launcher's expectations."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "tools", "check-installer")
SAMPLE = os.path.join(ROOT, "sample", "share")
INSTALLER = os.path.join("src", "orvl", "tools", "install", "install.py")

# A well-behaved installer; each case replaces one of its parts.
PARTS = {
    "group": """
        if os.environ.get("ORVL_PGROUP") == "1":
            os.setpgid(0, 0)
    """,
    "status": """
        say(json.dumps({"ready": ready, "needs_disc": not ready}))
    """,
    "download": """
        say("@step 1 2 Fetching")
        # A tool of the build, in the installer's group, like a compiler would be.
        tool = subprocess.Popen(["sleep", "30"])
        for i in range(5):
            say("@progress %.2f" % (i / 4))
            time.sleep(0.1)
        tool.kill()
        tool.wait()
        say("@step 2 2 Building")
        say("[1/1] Linking orvl")
        make_game()
        say("@done")
    """,
}

TEMPLATE = """
import json, os, signal, subprocess, sys, time
{group}
args = sys.argv[1:]
dest = args[args.index("--dest") + 1]
game = os.path.join(dest, "build", "host", "orvl")

def say(text, end="\\n"):
    sys.stdout.write(text + end)
    sys.stdout.flush()

def make_game():
    os.makedirs(os.path.dirname(game), exist_ok=True)
    with open(game, "w") as f:
        f.write("#!/bin/sh\\n")
    os.chmod(game, 0o755)

if args[-1] == "--status":
    ready = os.access(game, os.X_OK)
{status}
    sys.exit(0)
{download}
"""


def installer_source(**parts):
    merged = {name: textwrap.dedent(parts.get(name, text)) for name, text in PARTS.items()}
    merged["status"] = textwrap.indent(merged["status"], "    ")
    return TEMPLATE.format(**merged)


class CheckerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="test-check-installer-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def share(self, **parts):
        share = os.path.join(self.tmp, "share")
        os.makedirs(os.path.join(share, "src", "vantrel"))
        os.makedirs(os.path.dirname(os.path.join(share, INSTALLER)))
        with open(os.path.join(share, INSTALLER), "w") as f:
            f.write(installer_source(**parts))
        return share

    def check(self, share, *options, env=None):
        proc = subprocess.run([sys.executable, CHECK, share, "--python", sys.executable, *options],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=env, timeout=300)
        self.output = proc.stdout + proc.stderr
        return proc.returncode, proc.stdout.splitlines()

    def assertLine(self, lines, start, *words):
        """Some line begins with `start` and holds every one of `words`."""
        for line in lines:
            if line.startswith(start) and all(w in line for w in words):
                return
        self.fail("no line %r with %r in:\n%s" % (start, words, self.output))

    def assertNoBroken(self, lines):
        self.assertEqual([l for l in lines if l.startswith("BROKEN")], [], self.output)


class SampleInstaller(CheckerCase):
    def test_sample_keeps_every_promise(self):
        if not os.path.isfile(os.path.join(SAMPLE, INSTALLER)):
            self.skipTest("the sample installer is not there yet: "
                          + os.path.join(SAMPLE, INSTALLER))
        missing = [t for t in ("cmake", "ninja", "cc", "pkg-config") if not shutil.which(t)]
        if missing:
            self.skipTest("the sample's build needs " + ", ".join(missing))
        env = dict(os.environ, ORVL_SAMPLE_UNITS="4", ORVL_SAMPLE_FETCH_SECONDS="0.5")
        code, lines = self.check(SAMPLE, env=env)
        self.assertNoBroken(lines)
        self.assertEqual(code, 0, self.output)
        self.assertLine(lines, "kept: status on a first run", '"needs_disc": true')
        self.assertLine(lines, "kept: download", "process group")
        self.assertLine(lines, "kept: download: exit status 0", "executable")
        self.assertLine(lines, "kept: status after the download", '"ready": true')
        self.assertLine(lines, "kept: cancel")


class WellBehaved(CheckerCase):
    def test_every_promise_kept(self):
        code, lines = self.check(self.share())
        self.assertNoBroken(lines)
        self.assertEqual(code, 0, self.output)
        for start, word in (("kept: status on a first run", '"needs_disc": true'),
                            ("kept: download", "process group of its own"),
                            ("kept: download", "newline"),
                            ("kept: download", "8191"),
                            ("kept: download", "2 step lines"),
                            ("kept: download", "5 progress lines"),
                            ("kept: download: exit status 0", "executable"),
                            ("kept: status after the download", '"ready": true'),
                            ("kept: cancel", "every process of the group ended")):
            self.assertLine(lines, start, word)

    def test_failure_told_by_an_error_line_is_no_fault(self):
        share = self.share(download="""
            say("@step 1 1 Fetching")
            say("@error The server could not be reached.")
            sys.exit(1)
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertNoBroken(lines)
        self.assertEqual(code, 0, self.output)
        self.assertLine(lines, "kept: download", "exited with status 1", "@error")
        self.assertLine(lines, "warning: download", "not checked")


class StatusPromises(CheckerCase):
    def test_no_json_object(self):
        code, lines = self.check(self.share(status='say("not built")'), "--skip-download",
                                 "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: status on a first run", "no '{'")

    def test_keys_without_the_blank_after_the_colon(self):
        share = self.share(status="""
            say('{"ready":%s, "needs_disc":%s}' % (str(ready).lower(), str(not ready).lower()))
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: status on a first run", '"needs_disc":true', "one blank")
        self.assertLine(lines, "BROKEN: status after the download", '"ready":true', "one blank")

    def test_key_hidden_by_a_nested_object(self):
        share = self.share(status="""
            say('{"ready": false, "needs_disc": true, "disc": {"size": 337}}')
        """)
        code, lines = self.check(share, "--skip-download", "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "warning: status on a first run", "nested")
        self.assertLine(lines, "BROKEN: status on a first run", "before the last '{'")

    def test_ready_on_a_first_run(self):
        code, lines = self.check(self.share(status='say(\'{"ready": true}\')'),
                                 "--skip-download", "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: status on a first run", '"ready": true', "not built")

    def test_non_zero_exit(self):
        share = self.share(status="""
            say('{"ready": false, "needs_disc": true}')
            sys.exit(1)
        """)
        code, lines = self.check(share, "--skip-download", "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: status on a first run", "exited with status 1")

    def test_object_beyond_the_first_4095_bytes(self):
        # One write, which the pipe takes whole before the reader stops reading.
        share = self.share(status="""
            say("x" * 5000 + "\\n" + json.dumps({"ready": ready, "needs_disc": not ready}))
        """)
        code, lines = self.check(share, "--skip-download", "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: status on a first run", "4095")


class DownloadPromises(CheckerCase):
    def test_no_process_group(self):
        code, lines = self.check(self.share(group=""))
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "did not make a process group")
        self.assertLine(lines, "BROKEN: cancel", "no process group")

    def test_last_line_without_newline(self):
        share = self.share(download="""
            say("@step 1 1 Fetching")
            say("@error The disc image is damaged.", end="")
            sys.exit(1)
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "without a newline", "reason is lost")
        # The unfinished line does not count as the failure's reason.
        self.assertLine(lines, "BROKEN: download", "exited with status 1", "without an '@error '")

    def test_non_zero_exit_without_error_line(self):
        share = self.share(download="""
            say("@step 1 1 Building")
            sys.exit(2)
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "exited with status 2", "without an '@error '")

    def test_success_without_the_game(self):
        share = self.share(download="""
            say("@step 1 1 Building")
            say("@done")
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "exit status 0", "no game", "build/host/orvl")

    def test_output_left_open_by_a_process_it_started(self):
        share = self.share(download="""
            say("@step 1 1 Building")
            make_game()
            subprocess.Popen(["sleep", "30"])
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "output stayed open")

    def test_lines_that_break_the_protocol(self):
        share = self.share(download="""
            say("@step 1 Fetching")
            say("@progress half")
            say("x" * 9000)
            make_game()
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: download", "@step 1 Fetching",
                        "two integers")
        self.assertLine(lines, "BROKEN: download", "@progress half", "without a number")
        self.assertLine(lines, "BROKEN: download", "longer than 8191 bytes")

    def test_near_misses_are_warnings(self):
        share = self.share(download="""
            for line in ("@step1 2 Fetching", "@progress0.5", "@error: no disc", "@done.",
                         "@Step 1 2 Fetching", "@frobnicate", "@progress 1.5",
                         "@progress -0.5", "[9/4] Linking"):
                say(line)
            make_game()
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertNoBroken(lines)
        self.assertEqual(code, 0, self.output)
        for word in ("@step1 2 Fetching", "@progress0.5", "@error: no disc", "@done.",
                     "@Step 1 2 Fetching", "@frobnicate", "@progress 1.5", "@progress -0.5",
                     "[9/4] Linking"):
            self.assertLine(lines, "warning: download", word)

    def test_unflushed_output(self):
        share = self.share(download="""
            for n in range(1, 6):
                sys.stdout.write("@step %d 5 Working\\n" % n)
                time.sleep(0.5)
            make_game()
        """)
        code, lines = self.check(share, "--skip-cancel")
        self.assertEqual(code, 0, self.output)
        self.assertLine(lines, "warning: download", "flush")


class CancelPromises(CheckerCase):
    def test_installer_that_ignores_sigterm(self):
        share = self.share(download="""
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            say("@step 1 1 Fetching")
            time.sleep(30)
        """)
        code, lines = self.check(share, "--skip-download")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: cancel", "the installer still runs")

    def test_process_that_outlives_the_installer(self):
        share = self.share(download="""
            tool = subprocess.Popen(["sh", "-c", "trap '' TERM; echo ready; exec sleep 30"],
                                    stdout=subprocess.PIPE)
            tool.stdout.readline()      # SIGTERM is ignored from here on
            say("@step 1 1 Fetching")
            time.sleep(30)
        """)
        code, lines = self.check(share, "--skip-download")
        self.assertEqual(code, 1, self.output)
        self.assertLine(lines, "BROKEN: cancel", "that it started still run", "still open")


class LeftoversAndInput(CheckerCase):
    def test_processes_left_running_and_input_read(self):
        # A process that leaves the group and outlives the installer, however it ends.
        escape = textwrap.dedent("""
            tool = subprocess.Popen(["setsid", "sh", "-c", "trap '' TERM; echo ready; exec sleep 30"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            tool.stdout.readline()
            say("@step 1 1 Building")
        """)
        cases = [
            ("left after a download", dict(download=escape + "make_game()\n"), ["--skip-cancel"],
             ("BROKEN: download", "still ran", "sleep")),
            ("left after a cancel", dict(download=escape + "time.sleep(30)\n"), ["--skip-download"],
             ("BROKEN: cancel", "still run", "sleep")),
            ("status reads its input", dict(status="""
                sys.stdin.read()
                say(json.dumps({"ready": ready, "needs_disc": not ready}))
             """), ["--skip-download", "--skip-cancel"], ("BROKEN: status on a first run",
                                                           "standard input")),
            ("download asks a question", dict(download="""
                say("Replace the disc image? [y/n]")
                sys.stdin.readline()
                make_game()
             """), ["--skip-cancel"], ("BROKEN: download", "standard input")),
        ]
        for what, parts, options, line in cases:
            with self.subTest(what):
                shutil.rmtree(os.path.join(self.tmp, "share"), ignore_errors=True)
                code, lines = self.check(self.share(**parts), *options)
                self.assertEqual(code, 1, self.output)
                self.assertLine(lines, *line)


class CommandLine(CheckerCase):
    def test_usage_errors(self):
        for args in ([], [self.tmp], [self.share(), "--python", os.path.join(self.tmp, "none")]):
            with self.subTest(args=args):
                proc = subprocess.run([sys.executable, CHECK, *args], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, timeout=60)
                self.assertEqual(proc.returncode, 2, proc.stdout + proc.stderr)


if __name__ == "__main__":
    unittest.main()
