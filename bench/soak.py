#!/usr/bin/env python3
"""Soak run: quor-console paired, in a call and unpaired again and again.

Each cycle pairs with quor-phone-sim, lets the phone sign in, holds a call
with two-way audio for --call-seconds (quor-host-sim plays 1 kHz into the
emulated speaker and records its microphone, the phone sends 600 Hz), ends
the call and unpairs. After each cycle it prints quor-console's resident
memory (VmRSS), open descriptors and threads, and what each side heard;
cycles begin until --minutes have passed. At the end: the figures after
the first cycle and at the end, and a verdict.

Verdict (exit code 1 when it fails):
  - every call carried audio both ways (the phone heard at least 95 % of
    the 10 ms frames the host played, at 1 kHz; the host recorded 600 Hz;
    each tone within 10 Hz);
  - threads and open descriptors after the last cycle are no more than
    after the first (the warm-up: the first cycle starts the workers once
    and registers the device's handlers; every later cycle must give back
    all it took);
  - resident memory after the last cycle exceeds the highest figure of the
    warm-up (the first WARMUP_CYCLES cycles) by at most MEMORY_BOUND_KIB.
    Every attachment starts its threads anew; threads that allocate at the
    same moment get allocation arenas of their own from the C library (up
    to eight per core), and an arena keeps what it once held, so memory
    climbs in steps over the first cycles (about 550 KiB in all on the
    2-core machine this was written on, level from the sixth cycle on) and
    then stays within a few pages. The
    bound is about four times the last step seen: a leak of 64 KiB a cycle
    fails a run of fifteen cycles, one of a few KiB a cycle an hour's run.
A run has at least MIN_CYCLES cycles, however short --minutes is.

Usage: bench/soak.py [--bin BUILD_DIR] [--minutes N] [--call-seconds N]
It runs itself in a network namespace of its own (tests/integration/
run_isolated.sh), as it binds the program's fixed ports.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import quorlib  # noqa: E402

WARMUP_CYCLES = 5
MIN_CYCLES = WARMUP_CYCLES + 5
MEMORY_BOUND_KIB = 512
MIN_HEARD = 0.95
# A tone is heard within this of its frequency: the host's reading moves by
# a few Hz when a loaded machine makes the phone's frames late and repeated.
TONE_SLACK_HZ = 10


def cycle(rig, seconds):
    """One pairing with one call; what each side heard."""
    rig.pair()
    rig.sign_in()
    rig.open_call()
    play, record = rig.stream(seconds)
    heard = quorlib.media_summary(rig.end_call())
    rig.unpair()
    played = play["urbs"] * 6 // 10
    ok = (heard["rx"] >= played * MIN_HEARD and abs(heard["tone"] - 1000) <= TONE_SLACK_HZ
          and abs(record["tone"] - 600) <= TONE_SLACK_HZ)
    return ok, (f"phone heard {heard['rx']:.0f}/{played:.0f} frames at {heard['tone']:.1f} Hz, "
                f"host heard {record['tone']:.1f} Hz")


def figures(pid):
    threads, fds = quorlib.usage(pid)
    return {"rss": quorlib.rss_kib(pid), "fds": fds, "threads": threads}


def describe(f):
    return f"VmRSS {f['rss']} KiB, {f['fds']} fds, {f['threads']} threads"


def run(bin_dir, minutes, call_seconds):
    os.environ["QUOR_BIN_DIR"] = bin_dir
    home = tempfile.mkdtemp(prefix="quor-soak-")
    try:
        with quorlib.Rig(home, phone_args=("--tone", "600")) as rig:
            rig.start_console()
            pid = rig.console.pid
            start = figures(pid)
            print(f"soak: {minutes} min, calls of {call_seconds} s; at start: {describe(start)}",
                  flush=True)
            began = time.monotonic()
            history, failures, n = [], 0, 0
            while len(history) < MIN_CYCLES or time.monotonic() - began < minutes * 60:
                n += 1
                ok, heard = cycle(rig, call_seconds)
                failures += 0 if ok else 1
                if history:
                    # The workers of the last attachment may still be ending.
                    first = history[0]
                    quorlib.wait_until(
                        lambda: quorlib.usage(pid),
                        lambda u: u[0] <= first["threads"] and u[1] <= first["fds"], timeout=5)
                history.append(figures(pid))
                print(f"cycle {n}: {describe(history[-1])}; {heard}"
                      f"{'' if ok else ' (AUDIO FAILED)'}", flush=True)
        return verdict(history, failures, time.monotonic() - began)
    finally:
        shutil.rmtree(home, ignore_errors=True)


def verdict(history, failures, elapsed):
    first, last = history[0], history[-1]
    warm = max(f["rss"] for f in history[:WARMUP_CYCLES])
    problems = []
    if failures:
        problems.append(f"{failures} of {len(history)} calls without their audio")
    for key in ("threads", "fds"):
        if last[key] > first[key]:
            problems.append(f"{key} grew from {first[key]} to {last[key]}")
    if last["rss"] > warm + MEMORY_BOUND_KIB:
        problems.append(f"VmRSS grew from {warm} KiB (warm-up) to {last['rss']} KiB, "
                        f"more than {MEMORY_BOUND_KIB} KiB")
    print(f"soak: {len(history)} cycles in {elapsed / 60:.1f} min")
    print(f"after the first cycle: {describe(first)}")
    print(f"after the last cycle:  {describe(last)} (warm-up peak VmRSS {warm} KiB)")
    if problems:
        print("verdict: FAILED: " + "; ".join(problems))
        return 1
    print("verdict: passed (no thread, descriptor or memory growth beyond the bound)")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("QUOR_BIN_DIR",
                                                        os.path.join(ROOT, "build")))
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--call-seconds", type=int, default=30)
    args = parser.parse_args()
    if os.environ.get("QUOR_SOAK_ISOLATED") != "1":
        env = dict(os.environ, QUOR_SOAK_ISOLATED="1")
        isolate = os.path.join(ROOT, "tests", "integration", "run_isolated.sh")
        sys.exit(subprocess.call([isolate, sys.executable, os.path.abspath(__file__),
                                  "--bin", os.path.abspath(args.bin),
                                  "--minutes", str(args.minutes),
                                  "--call-seconds", str(args.call_seconds)], env=env))
    sys.exit(run(args.bin, args.minutes, args.call_seconds))


if __name__ == "__main__":
    main()
