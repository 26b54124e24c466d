#!/usr/bin/env python3
"""Runs the launcher's benchmark figures and prints the table.

Called by bench/run after the build; see bench/README.md for what each figure
means. Every figure is a median over repeated runs; every ratio compares runs
made in turn within this one invocation.
"""
import argparse
import datetime
import glob
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import time

BUILD = None
WORK = None
DISPLAY = None
XVFB = None
QUICK = False
CANDIDATE = None    # another build of the launcher, measured in turn where asked for
LOG = sys.stderr
STARTED = []    # every program this harness started, ended at exit if still running
GROUPS = []     # process groups made by build children, ended likewise


def say(*a):
    print("bench:", *a, file=LOG, flush=True)


def now_ns():
    return time.monotonic_ns()


def tool(name):
    return os.path.join(BUILD, name)


def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


def ratio_in_turn(a, b):
    """Median of the ratios of runs made in turn (a[i] / b[i])."""
    pairs = [x / y for x, y in zip(a, b) if x is not None and y]
    return statistics.median(pairs) if pairs else None


# ---------------------------------------------------------------- processes

class Xvfb:
    def __init__(self):
        for n in range(91, 140):
            if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
                break
        self.display = f":{n}"
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1920x1200x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sock = f"/tmp/.X11-unix/X{n}"
        for _ in range(500):
            if os.path.exists(sock):
                break
            time.sleep(0.01)
        time.sleep(0.3)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def cpu_ns(pid):
    """CPU time of every thread of pid, in ns (scheduler statistics)."""
    total = 0
    for f in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(f) as fh:
                total += int(fh.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def base_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("ORVL_", "GEN_", "BENCH_", "FLOOR_", "SDL_")) and k != "LD_PRELOAD"}
    env["DISPLAY"] = DISPLAY
    env.update({k: str(v) for k, v in extra.items()})
    return env


def read_events(path):
    out = []
    try:
        with open(path) as fh:
            for line in fh:
                f = line.split()
                if f:
                    out.append((f[0], [int(x) for x in f[1:]]))
    except (OSError, ValueError):
        pass
    return out


def wait_until(pred, timeout, step=0.005):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


def ends(proc, timeout=5.0):
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class MapWatch:
    """xdrive watching for a window to be mapped; started before the program."""

    def __init__(self, name, timeout_ms=20000):
        self.p = subprocess.Popen([tool("xdrive"), "map", name, str(timeout_ms)], stdout=subprocess.PIPE,
                                  text=True, env=base_env())
        line = self.p.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError("xdrive did not start")

    def result(self):
        line = self.p.stdout.readline().split()
        self.p.wait()
        if len(line) != 2:
            raise RuntimeError("window never mapped")
        return int(line[0]), int(line[1])


def key(name, *keys):
    r = subprocess.run([tool("xdrive"), "key", name, *keys], capture_output=True, text=True, env=base_env())
    if r.returncode != 0:
        raise RuntimeError("xdrive key: " + r.stderr)
    return [int(x) for x in r.stdout.split()]


class Windowed:
    """The launcher or the floor program, run with the shim under Xvfb."""

    count = 0

    def __init__(self, what, binary=None, **extra):
        Windowed.count += 1
        self.dir = os.path.join(WORK, f"{what}-{Windowed.count}")
        os.makedirs(os.path.join(self.dir, "home"))
        os.makedirs(os.path.join(self.dir, "share"))
        self.events = os.path.join(self.dir, "events")
        self.gen_events = os.path.join(self.dir, "gen-events")
        self.log = os.path.join(self.dir, "home", "logs", "install.log")
        env = dict(LD_PRELOAD=tool("libshim.so"), BENCH_EVENTS=self.events, GEN_EVENTS=self.gen_events)
        if what == "launcher":
            argv = [binary or tool("launcher")]
            env.update(ORVL_PYTHON=tool("gen"), ORVL_SHARE=os.path.join(self.dir, "share"),
                       ORVL_HOME=os.path.join(self.dir, "home"))
            name = "Orvandel"
        else:
            argv = [tool("floor_frame")]
            os.makedirs(os.path.join(self.dir, "home", "logs"))
            env.update(FLOOR_LOG=self.log)
            name = "Floor"
        env.update(extra)
        self.name = name
        watch = MapWatch(name)
        self.t0 = now_ns()
        self.proc = subprocess.Popen(argv, env=base_env(**env), stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.dir, "stderr"), "w"))
        STARTED.append(self.proc)
        self.wid, self.mapped = watch.result()

    def ev(self, tag=None):
        e = read_events(self.events)
        return [v for t, v in e if tag is None or t == tag]

    def presents(self):
        return self.ev("P")

    def wait_presents(self, n, timeout=20):
        if not wait_until(lambda: len(self.presents()) >= n, timeout):
            raise RuntimeError(f"{self.dir}: fewer than {n} frames")

    def gen_ev(self, tag):
        return [v for t, v in read_events(self.gen_events) if t == tag]

    def build_fork(self, after):
        fs = [v for v in self.ev("F") if v[1] >= after]
        return fs[0] if fs else None

    def reaped(self, pid):
        ws = [v for v in self.ev("W") if v[0] == pid]
        return ws[0] if ws else None

    def start_build(self, timeout=20):
        t_key = key(self.name, "Return")[0]
        f = wait_until(lambda: self.build_fork(t_key), timeout)
        if not f:
            raise RuntimeError(f"{self.dir}: no build started")
        GROUPS.append(f[0])
        return t_key, f

    def wait_reaped(self, pid, timeout=120):
        w = wait_until(lambda: self.reaped(pid), timeout, 0.01)
        if not w:
            raise RuntimeError(f"{self.dir}: build child {pid} never reaped")
        # the frame that shows the job's outcome
        p = wait_until(lambda: [x for x in self.presents() if x[0] > w[2]], 10)
        return w, (p[0] if p else None)

    def quit(self):
        if self.proc.poll() is None:
            try:
                key(self.name, "Escape")
            except RuntimeError:
                pass
        ends(self.proc, 5)

    def kill_group(self, pid):
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass


class Zenity:
    """zenity --progress under Xvfb, fed on its standard input."""

    def __init__(self, *args, stdin=None):
        watch = MapWatch("BenchPeer")
        self.t0 = now_ns()
        self.proc = subprocess.Popen(["zenity", "--progress", "--title=BenchPeer", *args],
                                     stdin=stdin if stdin is not None else subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=base_env())
        STARTED.append(self.proc)
        self.wid, self.mapped = watch.result()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        ends(self.proc, 5)


# ---------------------------------------------------------------- figures

def fig_screenshot(res):
    say("1. screenshot mode")
    rounds, runs = (2, 3) if QUICK else (5, 6)
    lshot, fshot = os.path.join(WORK, "launcher.bmp"), os.path.join(WORK, "floor.bmp")
    env = base_env(ORVL_LAUNCHER_SHOT=lshot, ORVL_LAUNCHER_STATE="working", FLOOR_SHOT=fshot,
                   FLOOR_STATE="working", ORVL_HOME=os.path.join(WORK, "shot-home"))
    out = {}
    for driver in ("x11", "offscreen"):
        e = dict(env)
        if driver == "offscreen":
            e["SDL_VIDEODRIVER"] = "offscreen"
            e.pop("DISPLAY")
        lt, ft, ratios = [], [], []
        for r in range(rounds):
            j = os.path.join(WORK, f"shot-{driver}-{r}.json")
            cmds = [tool("launcher"), tool("floor_frame")]
            if r % 2:
                cmds.reverse()
            subprocess.run(["hyperfine", "-N", "--warmup", "2", "--runs", str(runs), "--export-json", j,
                            "--style", "none", *cmds], env=e, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            with open(j) as fh:
                rs = {x["command"]: x["times"] for x in json.load(fh)["results"]}
            lr, fr = rs[tool("launcher")], rs[tool("floor_frame")]
            lt += lr
            ft += fr
            ratios.append(median(lr) / median(fr))
        out[driver] = dict(launcher_s=median(lt), floor_s=median(ft), ratio=median(ratios),
                           runs=len(lt), rounds=rounds)
    # peak memory, runs in turn
    lm, fm = [], []
    for i in range(4 if QUICK else 10):
        for which, acc in ((tool("launcher"), lm), (tool("floor_frame"), fm)):
            r = subprocess.run(["/usr/bin/time", "-f", "%M", which], env=env, capture_output=True, text=True)
            acc.append(int(r.stderr.strip().splitlines()[-1]))
    out["rss_kib"] = dict(launcher=median(lm), floor=median(fm), ratio=ratio_in_turn(lm, fm))
    out["same_pixels"] = same_pixels(lshot, fshot)
    res["screenshot"] = out


def same_pixels(a, b):
    """Share of identical pixels of two 960x600 32-bit BMPs (a check that the
    floor draws the launcher's frame)."""
    try:
        da, db = open(a, "rb").read(), open(b, "rb").read()
    except OSError:
        return None
    oa, ob = int.from_bytes(da[10:14], "little"), int.from_bytes(db[10:14], "little")
    pa, pb = da[oa:oa + 960 * 600 * 4], db[ob:ob + 960 * 600 * 4]
    if len(pa) != len(pb) or not pa:
        return None
    same = sum(1 for i in range(0, len(pa), 4) if pa[i:i + 4] == pb[i:i + 4])
    return same / (960 * 600)


def fig_startup(res):
    say("2. interactive start-up")
    rounds = 4 if QUICK else 12
    names = ("launcher_first", "floor_first", "launcher_state", "floor_state")
    data = {k: [] for k in names}
    maps = {"launcher": [], "floor": [], "zenity": []}
    gen = tool("gen")
    for i in range(rounds):
        for k in names:
            what = k.split("_")[0]
            at = 1 if k.endswith("first") else 2
            extra = dict(BENCH_EXIT_AT=at, GEN_STATUS="setup")
            if what == "floor" and at == 2:
                extra.update(FLOOR_STATUS=gen, FLOOR_STATE="setup")
            w = Windowed(what, **extra)
            ends(w.proc, 20)
            p = w.presents()
            data[k].append((p[at - 1][1] - w.t0) / 1e6 if len(p) >= at else None)
            if at == 2:
                maps[what].append((w.mapped - w.t0) / 1e6)
        z = Zenity("--text=Starting")
        maps["zenity"].append((z.mapped - z.t0) / 1e6)
        z.stop()
    res["startup"] = dict(
        first_ms=dict(launcher=median(data["launcher_first"]), floor=median(data["floor_first"]),
                      ratio=ratio_in_turn(data["launcher_first"], data["floor_first"])),
        state_ms=dict(launcher=median(data["launcher_state"]), floor=median(data["floor_state"]),
                      ratio=ratio_in_turn(data["launcher_state"], data["floor_state"])),
        map_ms=dict(launcher=median(maps["launcher"]), floor=median(maps["floor"]), zenity=median(maps["zenity"]),
                    ratio=ratio_in_turn(maps["launcher"], maps["floor"]),
                    zenity_ratio=ratio_in_turn(maps["zenity"], maps["launcher"])),
        rounds=rounds)


def draw_bench(binary, renderer, pattern, reps, min_time, out, field="real_time"):
    """draw_bench's benchmarks matching pattern on that renderer, randomly
    interleaved: {name: [µs of each repetition]} and the run's context."""
    env = base_env(ORVL_HOME=os.path.join(WORK, "draw-home"))
    if renderer == "soft":
        env["SDL_VIDEODRIVER"] = "offscreen"
    else:
        # OpenGL by name: on a software OpenGL the launcher would take SDL's
        # software renderer instead, which the "soft" figures measure.
        env["SDL_RENDER_DRIVER"] = "opengl"
    subprocess.run([binary, f"--renderer={renderer}", f"--benchmark_repetitions={reps}",
                    f"--benchmark_filter={pattern}", "--benchmark_enable_random_interleaving=true",
                    f"--benchmark_min_time={min_time}", f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    with open(out) as fh:
        doc = json.load(fh)
    times = {}
    for b in doc["benchmarks"]:
        if b.get("run_type") == "iteration":
            us = b[field] * {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            times.setdefault(b.get("run_name", b["name"]), []).append(us)
    return times, doc.get("context", {})


def fig_draw(res):
    say("3. draw cost per screen (Google Benchmark)")
    out = {}
    reps = 3 if QUICK else 6
    for renderer in ("soft", "gl"):
        times, ctx = draw_bench(tool("draw_bench"), renderer, "^(launcher|floor)/", reps, 0.1,
                                os.path.join(WORK, f"draw-{renderer}.json"))
        screens = {}
        for name, ts in times.items():
            who, screen = name.split("/")
            screens.setdefault(screen, {})[who] = median(ts)
        for s in screens.values():
            s["ratio"] = s["launcher"] / s["floor"]
        out[renderer] = dict(screens=screens, launcher_renderer=ctx.get("launcher_renderer"),
                             floor_renderer=ctx.get("floor_renderer"), repetitions=reps)
    res["draw"] = out


def gbench(binary, out, reps, min_time):
    subprocess.run([binary, f"--benchmark_repetitions={reps}", "--benchmark_enable_random_interleaving=true",
                    f"--benchmark_min_time={min_time}", f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=base_env(), check=True, stdout=subprocess.DEVNULL)
    times = {}
    with open(out) as fh:
        for b in json.load(fh)["benchmarks"]:
            if b.get("run_type") == "iteration":
                ms = b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
                times.setdefault(b.get("run_name", b["name"]), []).append(ms)
    return times


def fig_feed(res):
    say("5. line splitting and parsing in-process (Google Benchmark)")
    rounds = 1 if QUICK else 2
    acc = {}
    for r in range(rounds):
        builds = [("launcher", BUILD)] + ([("candidate", CANDIDATE)] if CANDIDATE else [])
        for who, b in builds:
            t = gbench(os.path.join(b, "feed_bench"), os.path.join(WORK, f"feed-{who}-{r}.json"), 3, 0.3)
            acc.setdefault(who, []).extend(t["launcher/feed"])
            if who == "launcher":
                acc.setdefault("floor", []).extend(t["floor/feed"])
    out = {k: median(v) for k, v in acc.items()}
    out["ratio"] = out["launcher"] / out["floor"]
    if CANDIDATE:
        out["candidate_ratio"] = out["candidate"] / out["launcher"]
    res["feed"] = out


def measure_cpu(pid, seconds):
    c0, x0, t0 = cpu_ns(pid), cpu_ns(XVFB.proc.pid), now_ns()
    time.sleep(seconds)
    c1, x1, t1 = cpu_ns(pid), cpu_ns(XVFB.proc.pid), now_ns()
    return 100.0 * (c1 - c0) / (t1 - t0), 100.0 * (x1 - x0) / (t1 - t0), t0, t1


def frames_between(w, t0, t1):
    return len([p for p in w.presents() if t0 <= p[1] <= t1])


def fig_idle(res):
    say("4. CPU while idle")
    rounds, secs = (2, 2.0) if QUICK else (3, 3.0)
    out = {}
    for case in ("ready", "working"):
        rows = {k: dict(cpu=[], x=[], fps=[], hwm=[]) for k in ("launcher", "floor", "zenity")}
        for r in range(rounds):
            for who in ("launcher", "floor", "zenity"):
                if who == "zenity":
                    if case == "ready":
                        z = Zenity("--text=Ready to play", "--percentage=100")
                    else:
                        z = Zenity("--text=Compiling", "--pulsate")
                    time.sleep(1.0)
                    c, x, _, _ = measure_cpu(z.proc.pid, secs)
                    rows[who]["hwm"].append(vm_hwm_kib(z.proc.pid))
                    z.stop()
                    rows[who]["cpu"].append(c)
                    rows[who]["x"].append(x)
                    continue
                if case == "ready":
                    extra = dict(GEN_STATUS="ready") if who == "launcher" else dict(FLOOR_STATE="ready")
                    w = Windowed(who, **extra)
                    w.wait_presents(2)
                else:
                    extra = dict(GEN_MODE="quiet")
                    if who == "floor":
                        extra["FLOOR_CHILD"] = tool("gen")
                    w = Windowed(who, **extra)
                    w.wait_presents(2)
                    _, f = w.start_build()
                time.sleep(1.0)
                c, x, t0, t1 = measure_cpu(w.proc.pid, secs)
                rows[who]["cpu"].append(c)
                rows[who]["x"].append(x)
                rows[who]["fps"].append(frames_between(w, t0, t1) / ((t1 - t0) / 1e9))
                rows[who]["hwm"].append(vm_hwm_kib(w.proc.pid))
                if case == "working":
                    # cancel, then leave from the set-up screen
                    key(w.name, "Escape")
                    wait_until(lambda: w.reaped(f[0]), 10)
                    w.kill_group(f[0])
                w.quit()
        agg = {}
        for who, d in rows.items():
            agg[who] = {k: median(v) for k, v in d.items()}
        agg["ratio"] = ratio_in_turn(rows["launcher"]["cpu"], rows["floor"]["cpu"])
        agg["ratio_with_x"] = ratio_in_turn([a + b for a, b in zip(rows["launcher"]["cpu"], rows["launcher"]["x"])],
                                            [a + b for a, b in zip(rows["floor"]["cpu"], rows["floor"]["x"])])
        agg["hwm_ratio"] = ratio_in_turn(rows["launcher"]["hwm"], rows["floor"]["hwm"])
        agg["zenity_ratio"] = ratio_in_turn(rows["zenity"]["cpu"], rows["launcher"]["cpu"])
        agg["seconds"] = secs
        agg["rounds"] = rounds
        out[case] = agg
    res["idle"] = out


def frame_gaps(w, start_ns, end_ns):
    """Longest gap between two presented frames from the last frame before
    start_ns up to the frame at end_ns (present return times)."""
    ps = sorted(p[1] for p in w.presents())
    before = [p for p in ps if p <= start_ns]
    inside = [p for p in ps if start_ns < p <= end_ns]
    seq = before[-1:] + inside
    if len(seq) < 2:
        return None, len(inside)
    return max(b - a for a, b in zip(seq, seq[1:])) / 1e6, len(inside)


READY_REF = None


def ready_reference():
    """The ready screen from the launcher's screenshot mode, to recognise it."""
    global READY_REF
    if READY_REF is None:
        READY_REF = os.path.join(WORK, "ready-reference.bmp")
        subprocess.run([tool("launcher")], env=base_env(ORVL_LAUNCHER_SHOT=READY_REF, ORVL_LAUNCHER_STATE="ready",
                                                        ORVL_HOME=os.path.join(WORK, "shot-home")),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return READY_REF


def shows_ready(name, where):
    """Captures the window with ImageMagick and counts the pixels that differ
    from the ready screen by more than the renderers' text blending does."""
    r = subprocess.run([tool("xdrive"), "id", name], capture_output=True, text=True, env=base_env())
    if r.returncode != 0:
        return False
    shot = where + ".bmp"
    subprocess.run(["import", "-window", r.stdout.strip(), shot], env=base_env(), check=True,
                   stderr=subprocess.DEVNULL)
    c = subprocess.run(["compare", "-metric", "AE", "-fuzz", "8%", shot, ready_reference(), "null:"],
                       capture_output=True, text=True, env=base_env())
    try:
        differing = float(c.stderr.strip().split()[0])
    except (ValueError, IndexError):
        return False
    return differing < 0.01 * 960 * 600


def windowed_intake(who, mode, expected, binary=None):
    extra = dict(GEN_MODE=mode)
    if who == "floor":
        extra["FLOOR_CHILD"] = tool("gen")
    w = Windowed(who, binary=binary, **extra)
    try:
        w.wait_presents(2)
        c0 = cpu_ns(w.proc.pid)
        _, f = w.start_build()
        wv, ready = w.wait_reaped(f[0])
        c1 = cpu_ns(w.proc.pid)
        size = os.path.getsize(w.log) if os.path.exists(w.log) else -1
        gap, frames = frame_gaps(w, f[1], ready[1] if ready else wv[2])
        hwm = vm_hwm_kib(w.proc.pid)
        ok = wv[1] == 0 and shows_ready(w.name, os.path.join(w.dir, "end"))
    finally:
        w.quit()
    if size != expected:
        raise RuntimeError(f"{w.dir}: install.log has {size} bytes, expected {expected}")
    if not ok:
        raise RuntimeError(f"{w.dir}: the build did not end on the ready screen")
    return dict(ms=((ready[1] if ready else wv[2]) - f[1]) / 1e6, reaped_ms=(wv[2] - f[1]) / 1e6,
                cpu_ms=(c1 - c0) / 1e6, gap_ms=gap, frames=frames, hwm_kib=hwm)


def pump_intake(mode, expected):
    log = os.path.join(WORK, "floor-pump.log")
    r = subprocess.run([tool("floor_pump"), log, tool("gen"), "--download"], env=base_env(GEN_MODE=mode),
                       capture_output=True, text=True, check=True)
    ns, nbytes = r.stdout.split()[:2]
    if int(nbytes) != expected or os.path.getsize(log) != expected:
        raise RuntimeError("floor pump took in a short stream")
    return dict(ms=int(ns) / 1e6)


def writer_alone(mode):
    """The generator writing to /dev/null: what no reader can beat."""
    t0 = now_ns()
    with open(os.devnull, "w") as null:
        subprocess.run([tool("gen"), "--download"], stdout=null, env=base_env(GEN_MODE=mode), check=True)
    return (now_ns() - t0) / 1e6


def zenity_intake(mode):
    rd, wr = os.pipe()
    z = Zenity("--auto-close", "--text=Building", stdin=rd)
    os.close(rd)
    t0 = now_ns()
    g = subprocess.Popen([tool("gen"), "--download"], stdout=wr, env=base_env(GEN_MODE=mode))
    STARTED.append(g)
    os.close(wr)
    try:
        z.proc.wait(180)
        t1 = now_ns()
    except subprocess.TimeoutExpired:
        t1 = None
    z.stop()
    ends(g, 5)
    return dict(ms=(t1 - t0) / 1e6 if t1 else None)


def fig_intake(res):
    say("5. taking in build output")
    rounds = 2 if QUICK else 5
    expected = int(subprocess.run([tool("gen")], capture_output=True, text=True, check=True).stdout)
    out = {}
    for mode, zmode in (("flood", "zenity"), ("line", "zenity-line")):
        runs = {k: [] for k in ("pump", "launcher", "floor", "zenity")}
        alone = []
        for r in range(rounds):
            alone.append(writer_alone(mode))
            runs["pump"].append(pump_intake(mode, expected))
            runs["launcher"].append(windowed_intake("launcher", mode, expected))
            runs["floor"].append(windowed_intake("floor", mode, expected))
            runs["zenity"].append(zenity_intake("zenity" if mode == "flood" else "zenity-line"))
            if CANDIDATE:
                runs.setdefault("candidate", []).append(
                    windowed_intake("launcher", mode, expected, os.path.join(CANDIDATE, "launcher")))
        ms = {k: [x["ms"] for x in v] for k, v in runs.items()}
        agg = dict(
            pump_ms=median(ms["pump"]), launcher_ms=median(ms["launcher"]), floor_ms=median(ms["floor"]),
            zenity_ms=median(ms["zenity"]),
            ratio=ratio_in_turn(ms["launcher"], ms["pump"]),
            floor_ratio=ratio_in_turn(ms["launcher"], ms["floor"]),
            zenity_ratio=ratio_in_turn(ms["zenity"], ms["launcher"]),
            launcher_reaped_ms=median([x["reaped_ms"] for x in runs["launcher"]]),
            launcher_cpu_ms=median([x["cpu_ms"] for x in runs["launcher"]]),
            floor_cpu_ms=median([x["cpu_ms"] for x in runs["floor"]]),
            launcher_gap_ms=median([x["gap_ms"] for x in runs["launcher"]]),
            launcher_gap_worst_ms=max(x["gap_ms"] for x in runs["launcher"]),
            floor_gap_ms=median([x["gap_ms"] for x in runs["floor"]]),
            floor_gap_worst_ms=max(x["gap_ms"] for x in runs["floor"]),
            launcher_frames=median([x["frames"] for x in runs["launcher"]]),
            launcher_hwm_kib=median([x["hwm_kib"] for x in runs["launcher"]]),
            writer_alone_ms=median(alone),
            candidate_ms=median(ms["candidate"]) if CANDIDATE else None,
            candidate_ratio=ratio_in_turn(ms["candidate"], ms["launcher"]) if CANDIDATE else None,
            candidate_zenity_ratio=ratio_in_turn(ms["zenity"], ms["candidate"]) if CANDIDATE else None,
            candidate_cpu_ms=median([x["cpu_ms"] for x in runs["candidate"]]) if CANDIDATE else None,
            rounds=rounds, bytes=expected)
        out[mode] = agg
    res["intake"] = out


SIZES = ((960, 600), (1280, 800), (1920, 1200))
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fig_text(res):
    """CPU of one working-screen frame, with its texts and without, at each
    output size: draw_bench's scaled/* benchmarks (process CPU time)."""
    say("7. what text costs in a frame, by output size (Google Benchmark)")
    reps = 3 if QUICK else 6
    out = {}
    builds = [("launcher", BUILD)] + ([("candidate", CANDIDATE)] if CANDIDATE else [])
    for renderer in ("soft", "gl"):
        for who, b in builds:
            times, _ = draw_bench(os.path.join(b, "draw_bench"), renderer, "^scaled/", reps, 0.2,
                                  os.path.join(WORK, f"text-{renderer}-{who}.json"), "cpu_time")
            cpu = {}
            for name, us in times.items():
                _, size, kind = name.split("/")[:3]
                cpu.setdefault(size, {})[kind] = us
            sizes = {}
            for size, d in cpu.items():
                frame, bare = median(d["text"]), median(d["notext"])
                sizes[size] = dict(frame_us=frame, notext_us=bare, text_us=frame - bare,
                                   share=(frame - bare) / frame)
            out.setdefault(renderer, {})[who] = sizes
    res["text"] = out


def fig_sample(res):
    """The launcher's CPU time over a real build of the sample game, divided
    by that build's wall time, with the window at each size."""
    say("8. CPU over a build of the sample game, by window size")
    rounds = 1 if QUICK else 2
    builds = [("launcher", None)] + ([("candidate", os.path.join(CANDIDATE, "launcher"))] if CANDIDATE else [])
    out = {}
    for w, h in SIZES:
        d = {who: dict(share=[], x=[], wall=[]) for who, _ in builds}
        for r in range(rounds):
            for who, binary in builds:
                win = Windowed("launcher", binary=binary, ORVL_PYTHON="/usr/bin/python3",
                               ORVL_SHARE=os.path.join(ROOT, "sample", "share"))
                try:
                    win.wait_presents(2)
                    wid = subprocess.run([tool("xdrive"), "id", win.name], capture_output=True, text=True,
                                         env=base_env(), check=True).stdout.strip()
                    for args in (["windowmove", wid, "0", "0"], ["windowsize", wid, str(w), str(h)]):
                        subprocess.run(["xdotool", *args], env=base_env(), check=True)
                    time.sleep(0.5)
                    _, f = win.start_build()
                    c0, x0, t0 = cpu_ns(win.proc.pid), cpu_ns(XVFB.proc.pid), now_ns()
                    wv, _ = win.wait_reaped(f[0], 300)
                    c1, x1, t1 = cpu_ns(win.proc.pid), cpu_ns(XVFB.proc.pid), now_ns()
                    if wv[1] != 0:
                        raise RuntimeError(f"{win.dir}: the sample build failed")
                    d[who]["share"].append(100.0 * (c1 - c0) / (t1 - t0))
                    d[who]["x"].append(100.0 * (x1 - x0) / (t1 - t0))
                    d[who]["wall"].append((t1 - t0) / 1e9)
                finally:
                    win.quit()
        out[f"{w}x{h}"] = {who: {k: median(v) for k, v in x.items()} for who, x in d.items()}
    out["rounds"] = rounds
    res["sample"] = out


def place_window(win, w, h):
    """Moves the launcher's window to the screen's corner and gives it w x h."""
    wid = subprocess.run([tool("xdrive"), "id", win.name], capture_output=True, text=True, env=base_env(),
                         check=True).stdout.strip()
    for args in (["windowmove", wid, "0", "0"], ["windowsize", wid, str(w), str(h)]):
        subprocess.run(["xdotool", *args], env=base_env(), check=True)
    time.sleep(0.5)


WAIT_CASES = (("idle", "idle on the ready screen"), ("quiet", "build running, no output (sweep / --pulsate)"),
              ("paced", "build writing 5 Ninja lines a second"))


def wait_launcher(binary, case, w, h, secs):
    """One launcher waiting in that case with its window at w x h: CPU of
    all its threads in ms per s of wall time, frames per s, peak memory."""
    extra = dict(GEN_STATUS="ready") if case == "idle" else dict(GEN_MODE=case)
    win = Windowed("launcher", binary=binary, **extra)
    try:
        win.wait_presents(2)
        place_window(win, w, h)
        if case != "idle":
            _, f = win.start_build()
        time.sleep(1.0)
        c, _, t0, t1 = measure_cpu(win.proc.pid, secs)
        out = dict(cpu=c * 10, fps=frames_between(win, t0, t1) / ((t1 - t0) / 1e9), hwm=vm_hwm_kib(win.proc.pid))
        if case != "idle":
            key(win.name, "Escape")
            wait_until(lambda: win.reaped(f[0]), 10)
            win.kill_group(f[0])
    finally:
        win.quit()
    return out


def wait_zenity(case, secs):
    feeder = None
    if case == "idle":
        z = Zenity("--text=Ready to play", "--percentage=100")
    elif case == "quiet":
        z = Zenity("--text=Compiling", "--pulsate")
    else:
        rd, wr = os.pipe()
        z = Zenity("--text=Compiling", stdin=rd)
        os.close(rd)
        feeder = subprocess.Popen([tool("gen"), "--download"], stdout=wr, env=base_env(GEN_MODE="zenity-paced"))
        STARTED.append(feeder)
        os.close(wr)
    try:
        time.sleep(1.0)
        c, _, _, _ = measure_cpu(z.proc.pid, secs)
        return dict(cpu=c * 10, hwm=vm_hwm_kib(z.proc.pid))
    finally:
        z.stop()
        if feeder:
            feeder.kill()
            ends(feeder)


def fig_wait(res):
    """What waiting costs: the launcher idle, beside a silent build and beside
    a build writing 5 lines a second, at 960x600 and 1920x1200, against
    zenity --progress doing the same job under the same X server."""
    say("9. what waiting costs")
    rounds, secs = (1, 2.0) if QUICK else (3, 4.0)
    builds = [("launcher", None)] + ([("candidate", os.path.join(CANDIDATE, "launcher"))] if CANDIDATE else [])
    out = {}
    for case, _ in WAIT_CASES:
        d = {}
        for r in range(rounds):
            for w, h in ((960, 600), (1920, 1200)):
                for who, binary in builds:
                    v = wait_launcher(binary, case, w, h, secs)
                    for k, x in v.items():
                        d.setdefault(f"{who}/{w}x{h}", {}).setdefault(k, []).append(x)
            for k, x in wait_zenity(case, secs).items():
                d.setdefault("zenity", {}).setdefault(k, []).append(x)
        out[case] = {who: {k: median(v) for k, v in x.items()} for who, x in d.items()}
    out["rounds"], out["seconds"] = rounds, secs
    res["wait"] = out


def probe_start():
    p = subprocess.Popen([tool("probe")], stdout=subprocess.PIPE, text=True, env=base_env())
    STARTED.append(p)
    return p


def probe_result(p):
    """(late frames in %, worst frame in ms) of a probe, ended now."""
    p.send_signal(signal.SIGTERM)
    frames, late, worst = p.stdout.read().split()
    p.wait()
    return 100.0 * int(late) / max(int(frames), 1), float(worst)


SAMPLE_INSTALLER = ("sample", "share", "src", "orvl", "tools", "install", "install.py")
BUILD_CASES = (("alone", "nothing else runs"), ("direct", "the sample game's build, started directly"),
               ("nice", "the same build started directly under nice -n 10"),
               ("launcher", "the same build started by the launcher"),
               ("full", "the same build started by the launcher with ORVL_BUILD_NICE=0 (as before)"))


def build_direct(nice):
    """The sample build as the launcher runs it, but started straight from
    here (niced or not), beside the probe: late %, worst ms, wall s."""
    Windowed.count += 1
    dest = os.path.join(WORK, f"direct-{Windowed.count}")
    argv = ["/usr/bin/python3", "-I", os.path.join(ROOT, *SAMPLE_INSTALLER), "--dest", dest,
            "--vantrel", os.path.join(ROOT, "sample", "share", "src", "vantrel"), "--download"]
    os.makedirs(dest)
    probe = probe_start()
    t0 = now_ns()
    with open(os.path.join(dest, "install.log"), "w") as log:
        build = subprocess.Popen((["nice", "-n", "10"] if nice else []) + argv, stdout=log,
                                 stderr=subprocess.STDOUT, env=base_env(ORVL_PGROUP=1, PYTHONUNBUFFERED=1))
        STARTED.append(build)
        status = build.wait()
    wall = (now_ns() - t0) / 1e9
    late, worst = probe_result(probe)
    if status != 0:
        raise RuntimeError(f"{dest}: the sample build failed")
    return late, worst, wall


def build_launched(**extra):
    """The same build started by the launcher under Xvfb, beside the probe."""
    win = Windowed("launcher", ORVL_PYTHON="/usr/bin/python3", ORVL_SHARE=os.path.join(ROOT, "sample", "share"),
                   **extra)
    try:
        win.wait_presents(2)
        probe = probe_start()
        _, f = win.start_build()
        w, _ = win.wait_reaped(f[0], 300)
        late, worst = probe_result(probe)
        if w[1] != 0:
            raise RuntimeError(f"{win.dir}: the sample build failed")
        return late, worst, (w[2] - f[1]) / 1e9
    finally:
        win.quit()


def fig_build(res):
    """The computer during a build: a 60 Hz probe needing 6 ms of CPU a
    frame, alone, beside the sample build started directly (also niced),
    and beside the same build started by the launcher."""
    say("10. the computer during a build")
    rounds = 2
    d = {case: dict(late=[], worst=[], wall=[]) for case, _ in BUILD_CASES}
    for r in range(rounds):
        for case, _ in BUILD_CASES:
            if case == "alone":
                probe = probe_start()
                time.sleep(median(d["direct"]["wall"]) or 7.0)
                late, worst = probe_result(probe)
                wall = None
            elif case in ("launcher", "full"):
                late, worst, wall = build_launched(**(dict(ORVL_BUILD_NICE=0) if case == "full" else {}))
            else:
                late, worst, wall = build_direct(case == "nice")
            for k, v in (("late", late), ("worst", worst), ("wall", wall)):
                d[case][k].append(v)
    res["build"] = {case: {k: median(v) for k, v in x.items()} for case, x in d.items()}
    res["build"]["rounds"] = rounds


def fig_escape(res):
    say("6. Escape during a flowing build")
    rounds = 2 if QUICK else 6
    out = {}
    for mode in ("flood", "line"):
        d = {who: dict(term=[], kill=[], gap=[]) for who in ("launcher", "floor")}
        for r in range(rounds):
            for who in ("launcher", "floor"):
                extra = dict(GEN_MODE=mode, GEN_LINES=3000000)
                if who == "floor":
                    extra["FLOOR_CHILD"] = tool("gen")
                w = Windowed(who, **extra)
                try:
                    w.wait_presents(2)
                    _, f = w.start_build()
                    # well into the flow: 300 ms and 4 MiB after the start
                    wait_until(lambda: os.path.exists(w.log) and os.path.getsize(w.log) > 4 << 20, 10)
                    time.sleep(max(0.0, 0.3 - (now_ns() - f[1]) / 1e9))
                    t_esc = key(w.name, "Escape")[0]
                    term = wait_until(lambda: w.gen_ev("T"), 10)
                    wv, shown = w.wait_reaped(f[0], 30)
                    kills = [k for k in w.ev("K") if k[2] >= t_esc and k[1] == signal.SIGTERM]
                    d[who]["term"].append((term[0][0] - t_esc) / 1e6 if term else None)
                    d[who]["kill"].append((kills[0][2] - t_esc) / 1e6 if kills else None)
                    gap, _ = frame_gaps(w, f[1], t_esc)
                    d[who]["gap"].append(gap)
                    w.kill_group(f[0])
                finally:
                    w.quit()
        out[mode] = {who: dict(term_ms=median(v["term"]),
                               term_worst_ms=max(x for x in v["term"] if x is not None) if any(
                                   x is not None for x in v["term"]) else None,
                               kill_ms=median(v["kill"]), gap_ms=median(v["gap"]),
                               gap_worst_ms=max(x for x in v["gap"] if x is not None))
                     for who, v in d.items()}
        out[mode]["ratio"] = ratio_in_turn(d["launcher"]["term"], d["floor"]["term"])
        out[mode]["rounds"] = rounds
    res["escape"] = out


# ---------------------------------------------------------------- table

def fmt(v, unit="", nd=1):
    if v is None:
        return "n/a"
    return f"{v:.{nd}f}{unit}"


def x(v, nd=2):
    return fmt(v, "×", nd)


def verdict(ok):
    return "met" if ok else "**missed**"


def table(res):
    rows = []

    def row(*cells):
        rows.append(cells)

    s = res.get("screenshot")
    if s:
        for d, label in (("x11", "X11 (Xvfb)"), ("offscreen", "offscreen driver")):
            v = s[d]
            row(f"1 Screenshot mode, whole process, wall, {label}", fmt(v["launcher_s"] * 1e3, " ms"),
                fmt(v["floor_s"] * 1e3, " ms"), "no such mode", x(v["ratio"]), "≤ 1.2×", verdict(v["ratio"] <= 1.2))
        m = s["rss_kib"]
        row("1 Screenshot mode, peak RSS", fmt(m["launcher"] / 1024, " MiB"), fmt(m["floor"] / 1024, " MiB"),
            "no such mode", x(m["ratio"]), "≤ 1.1×", verdict(m["ratio"] <= 1.1))
    st = res.get("startup")
    if st:
        f, t, mp = st["first_ms"], st["state_ms"], st["map_ms"]
        row("2 Start-up: exec → first presented frame", fmt(f["launcher"], " ms"), fmt(f["floor"], " ms"),
            "see next row", x(f["ratio"]), "≤ 1.2×", verdict(f["ratio"] <= 1.2))
        row("2 Start-up: exec → window first mapped", fmt(mp["launcher"], " ms"), fmt(mp["floor"], " ms"),
            fmt(mp["zenity"], " ms"), x(mp["ratio"]), "(context)", "")
        row("2 Start-up: exec → first frame after the status query", fmt(t["launcher"], " ms"),
            fmt(t["floor"], " ms"), "—", x(t["ratio"]), "≤ 1.2×", verdict(t["ratio"] <= 1.2))
    dr = res.get("draw")
    if dr:
        for r, label in (("soft", "software renderer"), ("gl", "renderer -1 (" + str(dr["gl"]["launcher_renderer"]) + ")")):
            sc = dr[r]["screens"]
            worst = max(sc, key=lambda k: sc[k]["ratio"])
            row(f"3 Draw cost of one frame, {label}, worst of 7 screens ({worst})",
                fmt(sc[worst]["launcher"], " µs", 0), fmt(sc[worst]["floor"], " µs", 0), "—",
                x(sc[worst]["ratio"]), "≤ 1.2×", verdict(sc[worst]["ratio"] <= 1.2))
    idle = res.get("idle")
    if idle:
        for case, label in (("ready", "idle on the ready screen"), ("working", "build running, no output")):
            d = idle[case]
            row(f"4 CPU, {label} (% of one core)", fmt(d["launcher"]["cpu"], " %", 2),
                fmt(d["floor"]["cpu"], " %", 2), fmt(d["zenity"]["cpu"], " %", 2), x(d["ratio"]), "≤ 1.2×",
                verdict(d["ratio"] <= 1.2))
            row("4 … with the X server's share", fmt(d["launcher"]["cpu"] + d["launcher"]["x"], " %", 2),
                fmt(d["floor"]["cpu"] + d["floor"]["x"], " %", 2),
                fmt(d["zenity"]["cpu"] + d["zenity"]["x"], " %", 2), x(d["ratio_with_x"]), "(context)", "")
            row(f"4 Peak memory (VmHWM), {label}", fmt(d["launcher"]["hwm"] / 1024, " MiB"),
                fmt(d["floor"]["hwm"] / 1024, " MiB"), fmt(d["zenity"]["hwm"] / 1024, " MiB"),
                x(d["hwm_ratio"]), "≤ 1.1×", verdict(d["hwm_ratio"] <= 1.1))
    fd = res.get("feed")
    if fd:
        row("5 Line splitting + parsing of the 17.9 MB stream, in-process", fmt(fd["launcher"], " ms"),
            fmt(fd["floor"], " ms"), "—", x(fd["ratio"]), "(context)", "")
        if "candidate" in fd:
            row("5 … candidate launcher build", fmt(fd["candidate"], " ms"), "", "",
                x(fd["candidate_ratio"]) + " of current", "(proposal)", "")
    it = res.get("intake")
    if it:
        for mode, label in (("flood", "64 KiB writes"), ("line", "one write per line")):
            d = it[mode]
            row(f"5 Take in 200,000 lines ({d['bytes'] / 1e6:.1f} MB), {label}: build start → ready screen, "
                f"install.log complete", fmt(d["launcher_ms"], " ms"), fmt(d["pump_ms"], " ms (pump)"),
                fmt(d["zenity_ms"], " ms"), x(d["ratio"]), "≤ 2× pump", verdict(d["ratio"] <= 2))
            row(f"5 … zenity ÷ launcher, {label}", "", "", "", x(d["zenity_ratio"], 1), "≥ 10×",
                verdict(d["zenity_ratio"] >= 10))
            row(f"5 … the generator alone into /dev/null, {label}", "", fmt(d["writer_alone_ms"], " ms"), "",
                "", "(bound)", "")
            row(f"5 … beside the minimal frame + pump program, {label}", fmt(d["launcher_ms"], " ms"),
                fmt(d["floor_ms"], " ms"), "", x(d["floor_ratio"]), "(context)", "")
            if d.get("candidate_ms") is not None:
                row(f"5 … candidate launcher build, {label}", fmt(d["candidate_ms"], " ms"), "", "",
                    x(d["candidate_ratio"]) + f" of current; zenity ÷ candidate {x(d['candidate_zenity_ratio'], 1)}",
                    "(proposal)", "")
        for mode, label in (("flood", "64 KiB writes"), ("line", "one write per line")):
            d = it[mode]
            row(f"6 Longest gap between presented frames while it flows, {label} (median / worst run)",
                f"{fmt(d['launcher_gap_ms'], ' ms')} / {fmt(d['launcher_gap_worst_ms'], ' ms')}",
                f"{fmt(d['floor_gap_ms'], ' ms')} / {fmt(d['floor_gap_worst_ms'], ' ms')}", "not observable", "",
                "≤ 100 ms", verdict(d["launcher_gap_worst_ms"] <= 100))
    es = res.get("escape")
    if es:
        for mode, label in (("flood", "64 KiB writes"), ("line", "one write per line")):
            d = es[mode]
            lw = d["launcher"]["term_worst_ms"]
            row(f"6 Escape → SIGTERM received in the installer's group, {label} (median / worst run)",
                f"{fmt(d['launcher']['term_ms'], ' ms')} / {fmt(lw, ' ms')}",
                f"{fmt(d['floor']['term_ms'], ' ms')} / {fmt(d['floor']['term_worst_ms'], ' ms')}",
                "signals no feeder", "", "≤ 100 ms", verdict(lw is not None and lw <= 100))
            row(f"6 … longest frame gap in those runs, {label} (median / worst run)",
                f"{fmt(d['launcher']['gap_ms'], ' ms')} / {fmt(d['launcher']['gap_worst_ms'], ' ms')}",
                f"{fmt(d['floor']['gap_ms'], ' ms')} / {fmt(d['floor']['gap_worst_ms'], ' ms')}", "", "",
                "≤ 100 ms", verdict(d["launcher"]["gap_worst_ms"] <= 100))
    tx = res.get("text")
    if tx:
        for r, label in (("soft", "software renderer"), ("gl", "renderer -1")):
            for size in (f"{w}x{h}" for w, h in SIZES):
                v, before = tx[r]["launcher"][size], tx[r].get("candidate", {}).get(size)
                row(f"7 Working-screen frame at {size}, {label}: CPU with texts / without / text's share",
                    f"{v['frame_us']:.0f} / {v['notext_us']:.0f} µs / {100 * v['share']:.1f} %",
                    "", "", "", "(context)",
                    f"candidate: {before['frame_us']:.0f} / {before['notext_us']:.0f} µs / "
                    f"{100 * before['share']:.1f} %" if before else "")
    sm = res.get("sample")
    if sm:
        for size in (f"{w}x{h}" for w, h in SIZES):
            v = sm[size]["launcher"]
            before = sm[size].get("candidate")
            row(f"8 Launcher CPU ÷ wall time over a build of the sample game, window {size}",
                f"{v['share']:.1f} % ({v['wall']:.1f} s)", "", "", "", "(context)",
                (f"candidate: {before['share']:.1f} %; " if before else "") + f"Xvfb {v['x']:.1f} %")
    wt = res.get("wait")
    if wt:
        for case, label in WAIT_CASES:
            d = wt[case]
            for size in ("960x600", "1920x1200"):
                v, before = d[f"launcher/{size}"], d.get(f"candidate/{size}")
                row(f"9 What waiting costs, {label}, window {size}: CPU ms/s (frames/s) / peak memory",
                    f"{v['cpu']:.1f} ms/s ({v['fps']:.1f}) / {v['hwm'] / 1024:.0f} MiB", "",
                    f"{d['zenity']['cpu']:.1f} ms/s / {d['zenity']['hwm'] / 1024:.0f} MiB", "", "(context)",
                    f"candidate: {before['cpu']:.1f} ms/s ({before['fps']:.1f}) / {before['hwm'] / 1024:.0f} MiB"
                    if before else "")
    head = ("Figure", "launcher", "floor", "peer: zenity", "ratio", "target", "")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    bd = res.get("build")
    if bd:
        lines += ["", f"10 The computer during a build: a 60 Hz probe needing 6 ms of CPU a frame (medians of "
                  f"{bd['rounds']} rounds):", "", "| while | late frames | worst frame | build wall time |",
                  "|---|---|---|---|"]
        for case, label in BUILD_CASES:
            v = bd[case]
            lines.append(f"| {label} | {v['late']:.1f} % | {v['worst']:.1f} ms | "
                         + (f"{v['wall']:.1f} s |" if v["wall"] is not None else "— |"))
    if dr:
        lines += ["", "Draw cost of one frame per screen, µs, launcher / floor (median of interleaved repetitions):",
                  "", "| screen | software renderer | ratio | renderer -1 | ratio |", "|---|---|---|---|---|"]
        for name in ("checking", "setup", "update", "working", "failed", "ready", "crashed"):
            a, b = dr["soft"]["screens"][name], dr["gl"]["screens"][name]
            lines.append(f"| {name} | {a['launcher']:.0f} / {a['floor']:.0f} | {a['ratio']:.2f}× | "
                         f"{b['launcher']:.0f} / {b['floor']:.0f} | {b['ratio']:.2f}× |")
    return "\n".join(lines)


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        deb = open("/etc/debian_version").read().strip()
    except OSError:
        deb = "?"
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Debian {deb}"


def main():
    global BUILD, WORK, DISPLAY, XVFB, QUICK, CANDIDATE
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="")
    ap.add_argument("--work", default="")
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, for trying the harness out")
    ap.add_argument("--candidate", default="", help="another bench build (of changed launcher sources) whose "
                    "launcher is measured in turn with this one in figures 5, 7 and 8")
    ap.add_argument("--report", default="", help="print the table of an earlier results.json and stop")
    ap.add_argument("--only", default="", help="comma-separated figures to run: "
                    "shot,startup,draw,idle,feed,intake,escape,text,sample,wait,build")
    a = ap.parse_args()
    if a.report:
        with open(a.report) as fh:
            res = json.load(fh)
        print(f"Machine: {res['machine']}\nDate: {res['date']}; whole run {res['seconds']:.0f} s\n\n{table(res)}")
        return
    if not a.build or not a.work:
        ap.error("--build and --work are needed")
    BUILD, WORK, QUICK = os.path.abspath(a.build), os.path.abspath(a.work), a.quick
    CANDIDATE = os.path.abspath(a.candidate) if a.candidate else None
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    XVFB = Xvfb()
    DISPLAY = XVFB.display
    res = dict(machine=machine(), date=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), quick=QUICK)
    figures = [("shot", fig_screenshot), ("startup", fig_startup), ("draw", fig_draw), ("idle", fig_idle),
               ("feed", fig_feed), ("intake", fig_intake), ("escape", fig_escape), ("text", fig_text),
               ("sample", fig_sample), ("wait", fig_wait), ("build", fig_build)]
    only = set(x for x in a.only.split(",") if x)
    t = time.monotonic()
    try:
        took = res.setdefault("figure_seconds", {})
        for name, f in figures:
            if not only or name in only:
                t1 = time.monotonic()
                f(res)
                took[name] = round(time.monotonic() - t1, 1)
    finally:
        for p in STARTED:
            if p.poll() is None:
                p.kill()
                p.wait()
        for g in GROUPS:
            try:
                os.killpg(g, signal.SIGKILL)
            except OSError:
                pass
        XVFB.stop()
    res["seconds"] = time.monotonic() - t
    with open(os.path.join(WORK, "results.json"), "w") as fh:
        json.dump(res, fh, indent=1)
    text = f"Machine: {res['machine']}\nDate: {res['date']}; whole run {res['seconds']:.0f} s\n\n{table(res)}\n"
    with open(os.path.join(WORK, "table.md"), "w") as fh:
        fh.write(text)
    print(text, end="")


if __name__ == "__main__":
    main()
