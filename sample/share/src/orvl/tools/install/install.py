"""Sample installer for Orvandel.

    python3 -I install.py --dest DEST --vantrel DIR [--ffmpeg PATH] [--vorbis PATH]
                          (--status | --download)

--status prints a JSON object saying whether the game in DEST is built and
current.  --download fetches the disc image, verifies it, extracts the game
files, translates the game's code into C, and builds the game with CMake and
Ninja, reporting in the launcher's line protocol (@step, @progress, @error,
Ninja's [n/m] lines, anything else as a detail line).

What lives in DEST:
    cache/mirror/    the sample's stand-in for the download server
    disc/            the downloaded disc image and its verified checksum
    game/            the game files taken from the disc (the game's --game)
    build/recomp/    the translated code, one C file per code block
    build/host/      the CMake build; the game is build/host/orvl
    build/installed.json   which version was built, written last
"""

import os

# The launcher cancels a build by signalling this process group, so the group
# has to exist before anything else, imports included, takes time.
if os.environ.get("ORVL_PGROUP") == "1":
    try:
        os.setpgid(0, 0)
    except OSError:
        pass  # already a session leader, so already leading a group

import argparse
import hashlib
import importlib
import json
import shutil
import signal
import subprocess
import sys
import time
import traceback

VERSION = "1.2.0"
STEPS = 5
DEFAULT_UNITS = 48
DEFAULT_FETCH_SECONDS = 2.0
FAIL_PHASES = ("fetch", "verify", "build")
CHUNK = 1024 * 1024
MAX_LINE = 8000  # the launcher cuts lines at 8191 bytes

GAME_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "game")


class Failure(Exception):
    """A failure to report to the user; the text is shown as it is."""


class Cancelled(BaseException):
    """SIGTERM arrived.  A BaseException, so that no `except Exception` stops it."""


def on_sigterm(signum, frame):
    # A second SIGTERM must not interrupt the clean-up of the first.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Cancelled()


def emit_bytes(data):
    out = sys.stdout.buffer
    out.write(data[:MAX_LINE] + b"\n")
    out.flush()


def emit(text):
    emit_bytes(" ".join(text.splitlines()).encode("utf-8", "replace"))


def report(text):
    """The last line of a failed run; the reader may already be gone."""
    try:
        emit("@error " + text)
    except OSError:
        pass


def step(n, label):
    emit("@step %d %d %s" % (n, STEPS, label))


def progress(fraction):
    emit("@progress %.3f" % fraction)


class Layout:
    def __init__(self, dest):
        self.dest = os.path.abspath(dest)
        self.mirror_image = os.path.join(self.dest, "cache", "mirror", "orvandel.img")
        self.mirror_sum = self.mirror_image + ".sha256"
        self.disc_image = os.path.join(self.dest, "disc", "orvandel.img")
        self.disc_stamp = self.disc_image + ".sha256"
        self.game_dir = os.path.join(self.dest, "game")
        self.recomp_dir = os.path.join(self.dest, "build", "recomp")
        self.build_dir = os.path.join(self.dest, "build", "host")
        self.game_exe = os.path.join(self.build_dir, "orvl")
        self.record = os.path.join(self.dest, "build", "installed.json")


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None


def write_text(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def built_version(layout):
    try:
        with open(layout.record, encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        return None
    version = record.get("version") if isinstance(record, dict) else None
    return version if isinstance(version, str) else None


def status(layout):
    # Lets a person (or a screenshot) see the launcher's checking screen.
    try:
        time.sleep(min(max(float(os.environ.get("ORVL_SAMPLE_STATUS_SECONDS") or 0), 0), 30))
    except ValueError:
        pass
    built = built_version(layout)
    ready = (built == VERSION and os.access(layout.game_exe, os.X_OK)
             and os.path.isdir(layout.game_dir))
    have_disc = os.path.isfile(layout.disc_image) and os.path.isfile(layout.disc_stamp)
    # An older build with its disc still here only needs rebuilding.
    needs_disc = built is None or not have_disc
    print(json.dumps({"version": VERSION, "built": built,
                      "ready": ready, "needs_disc": needs_disc}), flush=True)


# --- running tools -------------------------------------------------------

def forward(raw):
    line = raw.rstrip(b"\r\n").replace(b"\r", b"")
    if not line.strip():
        return
    if line.startswith(b"@"):
        line = b" " + line  # a tool's text must never read as a protocol keyword
    emit_bytes(line[:MAX_LINE].decode("utf-8", "ignore").encode("utf-8"))


def run_tool(cmd, env=None):
    """Run `cmd` in this process group, forwarding its output line by line
    as it comes; return its exit status."""
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    try:
        for raw in proc.stdout:
            forward(raw)
        return proc.wait()
    finally:
        # Stopped from outside: end the tool, and keep its last words
        # (Ninja's "build stopped") for the log, also when the same SIGTERM
        # has ended it already and they wait unread in the pipe.
        if proc.poll() is None:
            proc.terminate()
        try:
            rest = proc.communicate(timeout=3)[0]
        except subprocess.TimeoutExpired:
            proc.kill()
            rest = proc.communicate()[0]
        for raw in (rest or b"").splitlines():
            forward(raw)
        proc.stdout.close()


def find_tools():
    """Absolute paths of cmake and ninja; a Failure naming whatever is missing."""
    missing = []  # (what, Debian package)
    cmake = shutil.which("cmake")
    ninja = shutil.which("ninja")
    pkg_config = shutil.which("pkg-config")
    cc_env = os.environ.get("CC", "").split()
    compiler = shutil.which(cc_env[0]) if cc_env else (
        shutil.which("cc") or shutil.which("gcc") or shutil.which("clang"))
    if not cmake:
        missing.append(("cmake", "cmake"))
    if not ninja:
        missing.append(("ninja", "ninja-build"))
    if not compiler:
        missing.append(("a C compiler", "gcc"))
    if not pkg_config:
        missing.append(("pkg-config", "pkg-config"))
    elif subprocess.run([pkg_config, "--exists", "sdl2"], stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
        missing.append(("the SDL2 development files", "libsdl2-dev"))
    if missing:
        raise Failure("The build tools are missing: %s. Install %s and try again."
                      % (", ".join(w for w, _ in missing), ", ".join(p for _, p in missing)))
    return cmake, ninja


def load_vantrel(vantrel):
    sys.dont_write_bytecode = True  # the share tree may be read-only, and stays clean
    sys.path.insert(0, vantrel)
    try:
        return importlib.import_module("discimage"), importlib.import_module("recomp")
    except ImportError:
        raise Failure("The installer's tools are missing from %s. Reinstalling the app may help."
                      % vantrel)


# --- the phases of --download ----------------------------------------------

def ensure_mirror(layout, discimage):
    """The published checksum of the mirror's image, mastering it on first use."""
    published = read_text(layout.mirror_sum)
    if published and os.path.isfile(layout.mirror_image):
        return published.split()[0]
    emit("Preparing the sample's disc image (first run only)")
    os.makedirs(os.path.dirname(layout.mirror_image), exist_ok=True)
    published = discimage.master(layout.mirror_image)
    # Written last: its presence means the image is complete.
    write_text(layout.mirror_sum, "%s  %s\n" % (published, os.path.basename(layout.mirror_image)))
    return published


def fetch(layout, discimage, fail, seconds):
    step(1, "Fetching the disc image")
    published = ensure_mirror(layout, discimage)
    size = os.path.getsize(layout.mirror_image)
    if (fail != "verify" and read_text(layout.disc_stamp) == published
            and os.path.isfile(layout.disc_image)
            and os.path.getsize(layout.disc_image) == size):
        emit("The disc image is already here.")
        progress(1.0)
        return published

    for stale in (layout.disc_stamp, layout.disc_image):
        if os.path.exists(stale):
            os.remove(stale)
    os.makedirs(os.path.dirname(layout.disc_image), exist_ok=True)
    emit("Downloading orvandel.img (%.1f MB)" % (size / 1e6))
    part = layout.disc_image + ".part"
    delay = seconds / max(1, -(-size // CHUNK))
    done = 0
    try:
        with open(layout.mirror_image, "rb") as src, open(part, "wb") as dst:
            while True:
                data = src.read(CHUNK)
                if not data:
                    break
                if fail == "fetch" and done >= size * 0.4:
                    raise Failure("The download of the disc image broke off. "
                                  "Check the network connection and try again.")
                if fail == "verify" and done <= size // 2 < done + len(data):
                    data = bytearray(data)
                    data[size // 2 - done] ^= 0xFF  # damaged in transit
                dst.write(data)
                done += len(data)
                progress(done / size)
                time.sleep(delay)
        os.replace(part, layout.disc_image)
    finally:
        if os.path.exists(part):
            os.remove(part)
    return published


def verify(layout, published):
    step(2, "Verifying the disc image")
    digest = hashlib.sha256()
    size = os.path.getsize(layout.disc_image)
    done = 0
    with open(layout.disc_image, "rb") as f:
        while True:
            data = f.read(4 * CHUNK)
            if not data:
                break
            digest.update(data)
            done += len(data)
            progress(done / size)
    if digest.hexdigest() != published:
        os.remove(layout.disc_image)
        raise Failure("The disc image is damaged: its checksum does not match. "
                      "Try again to download it anew.")
    write_text(layout.disc_stamp, published + "\n")
    emit("Checksum correct (SHA-256 %s)" % published)


def extract(layout, discimage, recomp, units, fail):
    step(3, "Extracting the game files")
    try:
        toc = discimage.read_toc(layout.disc_image)
        for name in ("SYSTEM.CNF", "DATA/PALETTE.BIN"):
            target = os.path.join(layout.game_dir, *name.split("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(discimage.read_file(layout.disc_image, name, toc))
            emit("Extracted %s" % name)
        program = discimage.read_file(layout.disc_image, discimage.PROGRAM, toc)
    except discimage.DiscError as e:
        raise Failure("The disc image could not be read: %s. Try again to download it anew." % e)
    emit("Translating %d code blocks of %s into C" % (units, discimage.PROGRAM))
    recomp.translate(program, layout.recomp_dir, units, progress, broken=(fail == "build"))


def cache_value(cache_file, key):
    prefix = key + ":"
    try:
        with open(cache_file, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith(prefix):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def configure(layout, cmake, ninja):
    step(4, "Configuring the build")
    source = os.path.realpath(GAME_SOURCE)
    cache = os.path.join(layout.build_dir, "CMakeCache.txt")
    if os.path.exists(cache) and (
            cache_value(cache, "CMAKE_HOME_DIRECTORY") != source
            or cache_value(cache, "CMAKE_CACHEFILE_DIR") != os.path.realpath(layout.build_dir)):
        # CMake refuses a build directory made for another place.
        emit("Starting the build afresh: the earlier one was made elsewhere")
        shutil.rmtree(layout.build_dir)
    status = run_tool([cmake, "-S", source, "-B", layout.build_dir, "-G", "Ninja",
                       "-DCMAKE_MAKE_PROGRAM=" + ninja,
                       "-DCMAKE_BUILD_TYPE=Release",
                       "-DORVL_RECOMP_DIR=" + layout.recomp_dir,
                       "-DORVL_VERSION=" + VERSION])
    if status != 0:
        raise Failure("The build could not be configured (cmake exited with status %d). "
                      "The log has the details." % status)


def build(layout, ninja, units):
    step(5, "Building the game")
    env = dict(os.environ, NINJA_STATUS="[%f/%t] ")
    status = run_tool([ninja, "-C", layout.build_dir], env)
    if status != 0:
        raise Failure("The game did not build (ninja exited with status %d). "
                      "The log has the compiler's messages." % status)
    if not os.access(layout.game_exe, os.X_OK):
        raise Failure("The build ended without making the game. The log has the details.")
    progress(1.0)
    write_text(layout.record, json.dumps({"version": VERSION, "units": units}) + "\n")
    emit("The game is ready: %s" % layout.game_exe)


def knobs():
    """The sample's test settings: (units, fetch seconds, phase to fail)."""
    env = os.environ
    try:
        units = int(env.get("ORVL_SAMPLE_UNITS") or DEFAULT_UNITS)
        if not 1 <= units <= 128:
            raise ValueError
    except ValueError:
        raise Failure("ORVL_SAMPLE_UNITS must be a whole number from 1 to 128.")
    try:
        seconds = float(env.get("ORVL_SAMPLE_FETCH_SECONDS") or DEFAULT_FETCH_SECONDS)
        if not 0 <= seconds <= 600:
            raise ValueError
    except ValueError:
        raise Failure("ORVL_SAMPLE_FETCH_SECONDS must be a number of seconds from 0 to 600.")
    fail = env.get("ORVL_SAMPLE_FAIL", "")
    if fail and fail not in FAIL_PHASES:
        raise Failure("ORVL_SAMPLE_FAIL must be one of: %s." % ", ".join(FAIL_PHASES))
    return units, seconds, fail


def download(layout, vantrel):
    units, seconds, fail = knobs()
    cmake, ninja = find_tools()
    discimage, recomp = load_vantrel(vantrel)
    os.makedirs(layout.dest, exist_ok=True)
    published = fetch(layout, discimage, fail, seconds)
    verify(layout, published)
    extract(layout, discimage, recomp, units, fail)
    configure(layout, cmake, ninja)
    build(layout, ninja, units)
    emit("@done")


# --- command line ------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Failure("The installer was started with a wrong command line (%s). "
                      "Reinstalling the app may help." % message)


def parse(argv):
    p = Parser(prog="install.py", allow_abbrev=False)
    p.add_argument("--dest", required=True)
    p.add_argument("--vantrel", required=True)
    p.add_argument("--ffmpeg")
    p.add_argument("--vorbis")
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--status", action="store_true")
    mode.add_argument("--download", action="store_true")
    return p.parse_args(argv)


def main(argv):
    signal.signal(signal.SIGTERM, on_sigterm)
    try:
        args = parse(argv)
        for option, name, path in (("--ffmpeg", "FFmpeg", args.ffmpeg),
                                   ("--vorbis", "Vorbis library", args.vorbis)):
            if path is not None and not os.path.exists(path):
                raise Failure("The %s given with %s was not found: %s." % (name, option, path))
        layout = Layout(args.dest)
        if args.status:
            status(layout)
            return 0
        for name, path in (("FFmpeg", args.ffmpeg), ("Vorbis library", args.vorbis)):
            if path is not None:
                emit("Using the %s at %s" % (name, path))
        download(layout, args.vantrel)
        return 0
    except Failure as e:
        report(str(e))
        return 1
    except Cancelled:
        report("The build was stopped.")
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return 1  # nobody is reading any more
    except OSError as e:
        report("The installer could not work with its files (%s)." % e)
        return 1
    except Exception as e:
        traceback.print_exc()
        sys.stderr.flush()
        report("The installer failed unexpectedly (%s: %s)." % (type(e).__name__, e))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
