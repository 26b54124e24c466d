#!/usr/bin/env python3
"""How well the time-left line guesses: replays recorded builds through the
launcher's own estimating code (the `timeleft` program of the benchmark's
build, linked with the launcher's sources) and compares, at 25 %, 50 % and
75 % of each build's duration, the line's figure and a straight
extrapolation of the same progress (the time so far times what is left of
the bar over what is done, each step counting alike) with the true time
left. Both figures are rounded as the line shows them, and "less than a
minute" is right whenever less than a minute is left.

  bench/timeleft.py TRACE... [--previous TRACE] [--program PATH]

With --previous, that build is replayed first and its record feeds every
TRACE. A figure said "in this step" is compared with the time left in the
step; a checkpoint without a figure counts as 100 % off. The last lines,
one per trace, read `NAME launcher=E1% linear=E2%`."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
POINTS = (0.25, 0.50, 0.75)


def program(path):
    if path:
        return path
    build = os.environ.get("BENCH_BUILD", os.path.join(HERE, "build"))
    subprocess.run(["cmake", "-S", HERE, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "timeleft"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "timeleft")


def read_trace(path):
    lines = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            t, _, line = raw.rstrip("\n").partition("\t")
            lines.append((float(t), line))
            if line == "@done" or line.startswith("@error"):
                break
    return lines


def shown(seconds):
    """Seconds as the line rounds them: under a minute, minutes, tens of minutes past an hour."""
    minutes = seconds / 60
    if minutes < 1:
        return None
    return (round(minutes) if minutes < 59.5 else round(minutes / 10) * 10) * 60.0


def error(said, truth):
    """said: seconds, or None for "less than a minute", which is right for any time under one."""
    if said is None:
        return 0.0 if truth < 60 else (truth - 60) / truth
    return abs(said - truth) / truth


def figure(text):
    """Seconds the English line says, None for less than a minute."""
    if text.startswith("Less than a minute"):
        return None
    h = re.search(r"(\d+) hours?", text)
    m = re.search(r"(\d+) minutes?", text)
    return ((int(h.group(1)) if h else 0) * 60 + (int(m.group(1)) if m else 0)) * 60.0


def step_end(lines, t):
    """When the step running at t ends."""
    for when, line in lines:
        if when > t and (line.startswith("@step ") or line == "@done" or line.startswith("@error")):
            return when
    return lines[-1][0]


def run(prog, trace, record):
    lines = read_trace(trace)
    end = lines[-1][0]
    moments = ["%.3f" % (end * p) for p in POINTS]
    env = dict(os.environ, LANGUAGE="", LC_ALL="C", SDL_VIDEODRIVER="offscreen")
    out = subprocess.run([prog, trace, record or "-"] + moments, capture_output=True, text=True, env=env, check=True)
    rows = []
    for row in out.stdout.splitlines():
        at, raw, step_only, done, text = row.split("\t")
        at, done = float(at), float(done)
        truth = (step_end(lines, at) if step_only == "1" else end) - at
        e1 = error(figure(text), truth) if text else 1.0
        linear = at * (1 - done) / done if done > 0 else None
        e2 = 1.0 if linear is None else error(shown(linear), end - at)
        rows.append((at, text or "(nothing)", truth, e1, linear, e2))
    return rows


def main():
    p = argparse.ArgumentParser()
    p.add_argument("traces", nargs="+")
    p.add_argument("--previous")
    p.add_argument("--program")
    a = p.parse_args()
    prog = program(a.program)
    record = None
    with tempfile.TemporaryDirectory() as tmp:
        if a.previous:
            record = os.path.join(tmp, "build-times")
            env = dict(os.environ, LC_ALL="C", SDL_VIDEODRIVER="offscreen")
            subprocess.run([prog, a.previous, record, "--keep"], check=True, env=env, stdout=subprocess.DEVNULL)
        means = []
        for trace in a.traces:
            name = os.path.basename(trace)
            rows = run(prog, trace, record)
            print(name)
            for at, text, truth, e1, linear, e2 in rows:
                lin = "-" if linear is None else "%.0f s" % linear
                print("  at %7.1f s: %-40s true %6.0f s  error %4.0f%%   linear %8s  error %4.0f%%"
                      % (at, text, truth, e1 * 100, lin, e2 * 100))
            means.append((name, sum(r[3] for r in rows) / len(rows), sum(r[5] for r in rows) / len(rows)))
        for name, e1, e2 in means:
            print("%s launcher=%.0f%% linear=%.0f%%" % (name, e1 * 100, e2 * 100))


if __name__ == "__main__":
    sys.exit(main())
