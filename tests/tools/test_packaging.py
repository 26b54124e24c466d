"""The installed tree: `cmake --install` of the build in $LAUNCHER_BUILD into a
scratch prefix, and the desktop entry, metainfo and man page it holds."""

import configparser
import glob
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
APP_ID = "org.orvandel.launcher"
FILES = {
    "program": "bin/launcher",
    "desktop": "share/applications/%s.desktop" % APP_ID,
    "metainfo": "share/metainfo/%s.metainfo.xml" % APP_ID,
    "svg": "share/icons/hicolor/scalable/apps/%s.svg" % APP_ID,
    "png": "share/icons/hicolor/128x128/apps/%s.png" % APP_ID,
    "bmp": "share/icons/hicolor/128x128/apps/%s.bmp" % APP_ID,
    "man": "share/man/man6/launcher.6",
    "installer contract": "share/doc/launcher/installer-contract.md",
    "game contract": "share/doc/launcher/game-contract.md",
}
# The shared libraries the program may need, which the package depends on
# (README, "Installing"); the compiler's own runtimes and sanitizers aside.
# A build not linked as needed also names what the link flags of SDL2_ttf
# and libspeechd bring, which their own packages depend on.
LIBRARIES = {"libSDL2-2.0.so.0", "libSDL2_ttf-2.0.so.0", "libsystemd.so.0", "libfontconfig.so.1",
             "libspeechd.so.2", "libm.so.6", "libc.so.6", "libstdc++.so.6", "libgcc_s.so.1",
             "libfreetype.so.6", "libglib-2.0.so.0", "libX11.so.6"}


def run(*argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=120, **kw)


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        build = os.environ.get("LAUNCHER_BUILD")
        if not build:
            raise unittest.SkipTest("LAUNCHER_BUILD does not name a configured build directory")
        cls.build = build
        cls.prefix = tempfile.mkdtemp(prefix="test-packaging-")
        proc = run("cmake", "--install", build, "--prefix", cls.prefix)
        if proc.returncode != 0:
            shutil.rmtree(cls.prefix, True)
            raise AssertionError("cmake --install failed:\n" + proc.stdout + proc.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, True)

    def path(self, what):
        return os.path.join(self.prefix, FILES[what])

    def desktop_entry(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(self.path("desktop"), encoding="utf-8")
        return entry["Desktop Entry"]

    def metainfo(self):
        return ET.parse(self.path("metainfo")).getroot()

    def project_version(self):
        with open(os.path.join(self.build, "CMakeCache.txt"), encoding="utf-8") as f:
            m = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", f.read(), re.M)
        self.assertIsNotNone(m, "no project version in the build's cache")
        return m.group(1)

    def test_every_file_is_installed(self):
        for what, rel in FILES.items():
            with self.subTest(what):
                self.assertTrue(os.path.isfile(os.path.join(self.prefix, rel)), rel)
        self.assertTrue(os.access(self.path("program"), os.X_OK))

    def test_program_needs_only_the_listed_libraries(self):
        proc = run("readelf", "-d", self.path("program"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", proc.stdout))
        needed = {n for n in needed if not re.match(r"lib(a|ub)san\.", n)}
        self.assertLessEqual(needed, LIBRARIES)
        self.assertIn("libspeechd.so.2", needed)

    def test_desktop_entry_metainfo_and_icons_agree(self):
        entry = self.desktop_entry()
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Exec"].split()[0], os.path.basename(FILES["program"]))
        self.assertIn("Game", entry["Categories"].split(";"))
        icons = {os.path.splitext(os.path.basename(self.path(k)))[0] for k in ("svg", "png")}
        self.assertEqual(icons, {entry["Icon"]})

        root = self.metainfo()
        self.assertEqual(root.get("type"), "desktop-application")
        self.assertEqual(root.findtext("id"), APP_ID)
        self.assertEqual(root.findtext("launchable"), os.path.basename(FILES["desktop"]))
        self.assertEqual(root.findtext("provides/binary"), entry["Exec"].split()[0])

    def test_icons_are_what_they_claim(self):
        with open(self.path("png"), "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", head[16:24]), (128, 128))
        self.assertTrue(ET.parse(self.path("svg")).getroot().tag.endswith("svg"))
        # The window's copy holds the same pixels, alpha and all.
        same = run("compare", "-metric", "AE", self.path("png"), self.path("bmp"), "null:")
        self.assertEqual(same.stderr.strip(), "0", same.stderr)

    def test_versions_follow_the_project(self):
        version = self.project_version()
        releases = [r.get("version") for r in self.metainfo().iter("release")]
        self.assertTrue(releases, "the metainfo lists no release")
        self.assertEqual(releases[0], version, "the newest release in the metainfo")
        with open(self.path("man"), encoding="utf-8") as f:
            th = next(line for line in f if line.startswith(".TH"))
        self.assertIn("launcher %s" % version, th)

    def test_screenshots_are_the_real_screens(self):
        shots = [os.path.basename(i.text.strip()) for i in self.metainfo().iter("image")]
        self.assertEqual(sorted(shots), sorted("%s.png" % s for s in (
            "setup", "update", "working", "failed", "ready", "crashed")))
        screens = os.path.join(ROOT, "docs", "screens")
        if not os.path.isdir(screens):
            self.skipTest("docs/screens has not been made")
        for shot in shots:
            with self.subTest(shot):
                self.assertTrue(os.path.isfile(os.path.join(screens, shot)))

    def test_man_page_names_every_variable_the_launcher_reads_or_sets(self):
        names = set()
        for source in glob.glob(os.path.join(ROOT, "launcher", "**", "*.cpp"), recursive=True):
            with open(source, encoding="utf-8") as f:
                text = f.read()
            names.update(re.findall(r'(?:getenv|env_or)\("([A-Z_]+)"', text))
            names.update(re.findall(r'"([A-Z_]+)=[^"]*"', text))
        self.assertIn("ORVL_HOME", names)
        self.assertIn("ORVL_PGROUP", names)
        with open(self.path("man"), encoding="utf-8") as f:
            page = f.read().replace("\\_", "_")
        for name in sorted(names):
            with self.subTest(name):
                self.assertIn(name, page)

    def test_catalogs_are_installed_and_found_from_the_prefix(self):
        with open(os.path.join(ROOT, "po", "LINGUAS"), encoding="utf-8") as f:
            langs = [l.strip() for l in f if l.strip() and not l.startswith("#")]
        for lang in langs:
            with self.subTest(lang):
                self.assertTrue(os.path.isfile(os.path.join(
                    self.prefix, "share", "locale", lang, "LC_MESSAGES", "launcher.mo")))
        # The installed program finds its catalogs under its own prefix.
        shots = {}
        for lang in ("", "de"):
            shot = os.path.join(self.prefix, "ready-%s.bmp" % (lang or "en"))
            env = dict(os.environ, SDL_VIDEODRIVER="offscreen", ORVL_LAUNCHER_STATE="ready",
                       ORVL_LAUNCHER_SHOT=shot, LC_ALL="C.UTF-8", LANGUAGE=lang)
            proc = run(self.path("program"), env=env)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(shot, "rb") as f:
                shots[lang] = f.read()
        self.assertNotEqual(shots[""], shots["de"], "the German catalog was not used")

    def test_desktop_file_validate(self):
        if not shutil.which("desktop-file-validate"):
            self.skipTest("desktop-file-validate is not installed (desktop-file-utils)")
        proc = run("desktop-file-validate", self.path("desktop"))
        self.assertEqual((proc.returncode, proc.stdout + proc.stderr), (0, ""))

    def test_appstream_validate(self):
        if not shutil.which("appstreamcli"):
            self.skipTest("appstreamcli is not installed (appstream)")
        proc = run("appstreamcli", "validate", "--no-net", "--explain", self.path("metainfo"))
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertNotRegex(proc.stdout, r"(?m)^[EW]:", proc.stdout)

    def test_man_page_renders_without_warnings(self):
        if shutil.which("groff"):
            proc = run("groff", "-man", "-Tutf8", "-ww", "-z", self.path("man"))
            self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        if shutil.which("man"):
            proc = run("man", "--warnings", "-l", self.path("man"),
                       env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
            self.assertEqual((proc.returncode, proc.stderr), (0, ""))
            text = re.sub(".\b", "", proc.stdout)  # bold and underline by overstriking
            for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "ENVIRONMENT", "FILES",
                            "EXIT STATUS"):
                self.assertRegex(text, r"(?m)^%s$" % heading)
        if not shutil.which("groff") and not shutil.which("man"):
            self.skipTest("neither groff nor man is installed")


if __name__ == "__main__":
    unittest.main()
