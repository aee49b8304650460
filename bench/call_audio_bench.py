#!/usr/bin/env python3
"""Benchmark of a call's audio through the simulators.

quor-host-sim streams as a Linux host does (6-packet playback URBs,
1-packet capture URBs, 12 in flight) into quor-console, which carries the
audio as SRTP to quor-phone-sim and back, for SECONDS (60 by default). Both
sides send tone bursts (200 ms on, 300 ms off), so each onset can be timed
from the side that plays it to the side that hears it (all times are
CLOCK_MONOTONIC on this machine).

Prints, and never fails on, these figures:
  - the completion interval of each streaming worker (mean, p50, p99, max),
    as the host sees its URBs completed;
  - the end-to-end delay in each direction (host's device clock -> phone;
    phone's send -> host's completed capture URB);
  - quor-console's CPU time per second of call and its resident memory;
  - the frames each side lost.

Usage: bench/call_audio_bench.py [--bin BUILD_DIR] [--seconds N]
It runs itself in a network namespace of its own (tests/integration/
run_isolated.sh), as it binds the program's fixed ports.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import quorlib  # noqa: E402

LOOPBACK_AS_INT = 2130706433
DIALOG = "control 2109060203000200 06{:02x}"
MAX_DELAY_US = 400_000  # an onset heard later than this belongs to no burst


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory_kib(pid):
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0])
    return out


def onsets(proc, what):
    return [int(m) for m in re.findall(rf"(?m)^onset {what} at (\d+) us$", proc.output())]


def delays(sent, heard):
    """For each onset sent, the first one heard after it (within reach), in ms."""
    out = []
    for t in sent:
        later = [h for h in heard if t - 50_000 <= h <= t + MAX_DELAY_US]
        if later:
            out.append((later[0] - t) / 1000.0)
    return out


def describe(values, unit="ms"):
    if not values:
        return "no samples"
    v = sorted(values)
    p99 = v[min(len(v) - 1, int(0.99 * len(v)))]
    return (f"n={len(v)} mean={statistics.mean(v):.2f} p50={statistics.median(v):.2f} "
            f"p99={p99:.2f} max={v[-1]:.2f} {unit}")


def run(bin_dir, seconds):
    os.environ["QUOR_BIN_DIR"] = bin_dir
    home = tempfile.mkdtemp(prefix="quor-bench-")
    try:
        with open(os.path.join(home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_AS_INT}\nAutoPair=0\nAutoRun=0\n"
                    "AutoMin=0\nAutoRepair=0\nAsNmDev=0\n")
        address = "unix:" + os.path.join(home, "host.sock")
        phone = quorlib.spawn("quor-phone-sim", "--tone", "600", "--burst")
        phone.wait_for(r"^listening 7063")
        host = quorlib.spawn("quor-host-sim", "--listen", address)
        host.wait_for(r"^listening ")
        env = dict(os.environ, QUOR_HOME=home, XDG_RUNTIME_DIR=home, QUOR_VBUS=address,
                   LANG="C.UTF-8")
        console = quorlib.Proc(["stdbuf", "-oL", quorlib.bin_path("quor-console")], env=env)
        console.wait_for(r"^status: Not Paired$")
        console.send("pair")
        host.wait_for(r"^enumeration done$", timeout=15)
        phone.send("signin")
        console.wait_for(r"^status: Paired\(Sign In\)$", timeout=10)
        for command, answer in (("set-interface 2 1", r"^set-interface 2 1 status=0$"),
                                ("set-interface 1 1", r"^set-interface 1 1 status=0$"),
                                (DIALOG.format(1), r"^control status=0 ")):
            host.send(command)
            host.wait_for(answer, timeout=10)
        phone.wait_for(r"^media started: ")
        # The console process (stdbuf execs it, so the pid is the console's).
        pid = console.pid
        cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
        host.send(f"stream {seconds} play 1000 burst")
        play = host.wait_for(r"^stream play: (.*)", timeout=seconds + 30).group(1)
        record = host.wait_for(r"^stream record: (.*)", timeout=10).group(1)
        cpu_after, wall_after = cpu_seconds(pid), time.monotonic()
        memory = memory_kib(pid)
        host.send(DIALOG.format(0))
        summary = phone.wait_for(r"^media summary: (.*)", timeout=10).group(1)
        closed = console.wait_for(r"NETWORK: RTP closed: (.*)", timeout=10).group(1)
        host.send("stream 1")
        host.wait_for(r"^stream record: ", timeout=10)
        cp = console.wait_for(r"CP: call audio ended: (.*)", timeout=10).group(1)

        h2p = delays(onsets(host, "played"), onsets(phone, "heard"))
        p2h = delays(onsets(phone, "sent"), onsets(host, "recorded"))
        call = wall_after - wall_before
        print(f"call audio benchmark: {seconds} s, Linux-shaped streams")
        print(f"playback worker completions (6-packet URBs): {play}")
        print(f"capture worker completions (1-packet URBs):  {record}")
        print(f"delay host -> phone: {describe(h2p)}")
        print(f"delay phone -> host: {describe(p2h)}")
        print(f"quor-console CPU: {(cpu_after - cpu_before) / call * 1000:.1f} ms per second "
              f"of call ({cpu_after - cpu_before:.2f} s over {call:.1f} s)")
        print(f"quor-console memory: VmRSS {memory.get('VmRSS', 0)} KiB, "
              f"VmHWM {memory.get('VmHWM', 0)} KiB")
        print(f"phone: {summary}")
        print(f"connector RTP: {closed}")
        print(f"connector capture: {cp}")
        for proc in (console, host, phone):
            proc.stop()
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("QUOR_BIN_DIR",
                                                        os.path.join(ROOT, "build")))
    parser.add_argument("--seconds", type=int, default=60)
    args = parser.parse_args()
    if os.environ.get("QUOR_BENCH_ISOLATED") != "1":
        env = dict(os.environ, QUOR_BENCH_ISOLATED="1")
        isolate = os.path.join(ROOT, "tests", "integration", "run_isolated.sh")
        sys.exit(subprocess.call([isolate, sys.executable, os.path.abspath(__file__),
                                  "--bin", os.path.abspath(args.bin),
                                  "--seconds", str(args.seconds)], env=env))
    run(args.bin, args.seconds)


if __name__ == "__main__":
    main()
