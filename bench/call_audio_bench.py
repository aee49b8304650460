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
    phone's send -> host's completed capture URB), over the call and for
    each minute of it;
  - quor-console's CPU time per second of call, its context switches per
    second of call (voluntary and involuntary, summed over its threads from
    /proc/PID/task; a thread that ends during the call takes its count with
    it) and its resident memory;
  - the frames each side lost.

The reference: after the call, for the same SECONDS, two ffmpeg processes
do the media part of the same work on this machine: one takes 48 kHz mono,
resamples it to 16 kHz and sends it as L16 RTP (payload type 108, 10 ms
packets) with SRTP AES_CM_128_HMAC_SHA1_80, in real time (-re); the other
receives that stream over loopback, decrypts it and resamples it to 48 kHz
mono. Their CPU time (both processes, from /proc, over SECONDS after one
second of start-up) gives "reference CPU: N ms per second of call" and the
"CPU ratio" (quor-console's CPU per second over the reference's). It runs
after the call rather than beside it, so neither takes processor time from
the other. Then quor-pacing-floor (bench/pacing_floor.cpp) prints, for up
to 20 s, what a bare thread that completes one request every millisecond
on time costs on this machine: the least any connector pays for the
capture stream's pacing, before any audio work. --no-reference skips both.

--skew-ppm N runs the phone simulator's media clock N parts per million
fast (negative: slow): it sends on that clock and plays what it receives
from a buffer at the same rate. Each minute's line then also gives the
frames repeated and skipped that minute in each direction: host -> phone
as the phone's playout counted them; phone -> host from the host's
recording of the call, in which the phone numbered its packets
(--frame-marks), so a number seen again (or no number) is a repeated
frame and a number jumped over a skipped one. The connector's own counts
for the whole call (its "RTP closed" and "call audio ended" log lines)
follow. A skew of N ppm forces about |N| * 6000 / 1e6 frames a minute in
each direction.

Usage: bench/call_audio_bench.py [--bin BUILD_DIR] [--seconds N]
                                 [--skew-ppm N] [--no-reference]
It runs itself in a network namespace of its own (tests/integration/
run_isolated.sh), as it binds the program's fixed ports.
"""

import argparse
import base64
import glob
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
FRAMES_PER_MINUTE = 6000  # 10 ms frames
REFERENCE_PORT = 22000
REFERENCE_WARMUP_S = 1.0  # ffmpeg's probing and set-up, left out of its figure
FLOOR_SECONDS = 20


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    """Voluntary and involuntary context switches of the process's threads
    (the process's own status line counts its main thread only)."""
    voluntary = involuntary = 0
    for path in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(path) as f:
                for line in f:
                    key, _, value = line.partition(":")
                    if key == "voluntary_ctxt_switches":
                        voluntary += int(value)
                    elif key == "nonvoluntary_ctxt_switches":
                        involuntary += int(value)
        except OSError:  # a thread that ended meanwhile
            pass
    return voluntary, involuntary


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
    """For each onset sent, the first one heard after it (within reach), as
    (sent at in us, delay in ms)."""
    out = []
    for t in sent:
        later = [h for h in heard if t - 50_000 <= h <= t + MAX_DELAY_US]
        if later:
            out.append((t, (later[0] - t) / 1000.0))
    return out


def playout_counts(proc):
    """The phone's playout lines: (at in us, frames, repeated, skipped)."""
    return [tuple(int(v) for v in m) for m in re.findall(
        r"(?m)^media playout at (\d+) us: (\d+) frames, (\d+) repeated, (\d+) skipped$",
        proc.output())]


def capture_events(marks):
    """From the marks of the frames the host recorded: (frame index,
    skipped, repeated) where a packet went missing or a frame was played
    again (a repeat is the last frame, whole or halved)."""
    events = []
    last = None
    for i, m in enumerate(marks):
        if last is None:
            last = m
            continue
        ahead = None if m is None else (m - last) & 0xFFFF
        if ahead is None or ahead == 0 or ahead >= 0x8000:
            events.append((i, 0, 1))
            continue
        if ahead > 1:
            events.append((i, ahead - 1, 0))
        last = m
    return events


def per_minute(start_us, end_us, h2p, p2h, playout, capture):
    """One line for each minute of the call (the last may be shorter)."""
    lines = []
    minute = 0
    while start_us + minute * 60_000_000 < end_us:
        lo = start_us + minute * 60_000_000
        hi = min(lo + 60_000_000, end_us)

        def mean_in(samples):
            v = [d for t, d in samples if lo <= t < hi]
            return f"{statistics.mean(v):6.2f} ms" if v else "     n/a"

        line = (f"minute {minute + 1}: delay host -> phone {mean_in(h2p)}, "
                f"phone -> host {mean_in(p2h)}")
        if playout:
            # The phone's counts when the minute began and when it ended.
            before = [c for c in playout if c[0] < lo]
            upto = [c for c in playout if c[0] < hi]
            first = before[-1] if before else (lo, 0, 0, 0)
            last = upto[-1] if upto else first
            line += (f"; host -> phone {last[2] - first[2]} frames repeated, "
                     f"{last[3] - first[3]} skipped")
        if capture is not None:
            # A frame's time: 10 ms a frame from the start of the recording.
            ev = [(s, r) for i, s, r in capture if lo <= start_us + i * 10_000 < hi]
            line += (f"; phone -> host {sum(r for _, r in ev)} repeated, "
                     f"{sum(s for s, _ in ev)} skipped")
        lines.append(line)
        minute += 1
    return lines


def udp_port_bound(port):
    """Whether something in this network namespace listens on UDP PORT."""
    with open("/proc/net/udp") as f:
        return any(line.split()[1].endswith(f":{port:04X}") for line in f.readlines()[1:])


def run_reference(seconds, home):
    """ffmpeg doing the call's media work for SECONDS: the CPU time of both
    processes, in ms per second, and the seconds of 48 kHz audio the
    receiving one wrote; None when ffmpeg is not installed."""
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        return None
    key = base64.b64encode(os.urandom(30)).decode()
    sdp = os.path.join(home, "reference.sdp")
    with open(sdp, "w") as f:
        f.write("v=0\no=- 0 0 IN IP4 127.0.0.1\ns=reference\nc=IN IP4 127.0.0.1\nt=0 0\n"
                f"m=audio {REFERENCE_PORT} RTP/SAVP 108\na=rtpmap:108 L16/16000/1\n"
                f"a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key}\n")
    heard = os.path.join(home, "reference.raw")
    common = [ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error"]
    receiver_cmd = common + ["-protocol_whitelist", "file,udp,rtp,srtp", "-i", sdp,
                             "-af", "aresample=48000", "-ac", "1", "-c:a", "pcm_s16le",
                             "-f", "s16le", "-y", heard]
    sender_cmd = common + ["-re", "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000",
                           "-t", str(seconds + REFERENCE_WARMUP_S + 1),
                           "-af", "aresample=16000,asetnsamples=n=160:p=0", "-ac", "1",
                           "-c:a", "pcm_s16be", "-f", "rtp", "-payload_type", "108",
                           "-srtp_out_suite", "AES_CM_128_HMAC_SHA1_80",
                           "-srtp_out_params", key, f"srtp://127.0.0.1:{REFERENCE_PORT}"]
    receiver = subprocess.Popen(receiver_cmd, stdin=subprocess.DEVNULL)
    sender = None
    try:
        deadline = time.monotonic() + 10
        while not udp_port_bound(REFERENCE_PORT):
            if receiver.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the reference's receiving ffmpeg did not start")
            time.sleep(0.05)
        # The sender prints the stream's SDP on its standard output.
        sender = subprocess.Popen(sender_cmd, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL)
        time.sleep(REFERENCE_WARMUP_S)
        pids = (sender.pid, receiver.pid)
        cpu_before, wall_before = sum(map(cpu_seconds, pids)), time.monotonic()
        time.sleep(seconds)
        cpu_after, wall_after = sum(map(cpu_seconds, pids)), time.monotonic()
    finally:
        # The receiver first, while packets still come: waiting for one, it
        # would notice the signal only when its read times out.
        for proc in (receiver, sender):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
    audio_s = os.path.getsize(heard) / (48000 * 2) if os.path.exists(heard) else 0.0
    return (cpu_after - cpu_before) / (wall_after - wall_before) * 1000, audio_s


def describe(values, unit="ms"):
    if not values:
        return "no samples"
    v = sorted(values)
    p99 = v[min(len(v) - 1, int(0.99 * len(v)))]
    return (f"n={len(v)} mean={statistics.mean(v):.2f} p50={statistics.median(v):.2f} "
            f"p99={p99:.2f} max={v[-1]:.2f} {unit}")


def run(bin_dir, seconds, skew_ppm, reference):
    os.environ["QUOR_BIN_DIR"] = bin_dir
    home = tempfile.mkdtemp(prefix="quor-bench-")
    try:
        with open(os.path.join(home, "config.ini"), "w") as f:
            f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK_AS_INT}\nAutoPair=0\nAutoRun=0\n"
                    "AutoMin=0\nAutoRepair=0\nAsNmDev=0\n")
        address = "unix:" + os.path.join(home, "host.sock")
        skew = [] if skew_ppm is None else ["--clock-skew-ppm", skew_ppm, "--frame-marks"]
        recording = os.path.join(home, "capture.wav")
        phone = quorlib.spawn("quor-phone-sim", "--tone", "600", "--burst", *skew)
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
        switches_before = context_switches(pid)
        keep = "" if skew_ppm is None else f" record {recording}"
        host.send(f"stream {seconds} play 1000 burst{keep}")
        play = host.wait_for(r"^stream play: (.*)", timeout=seconds + 30).group(1)
        record = host.wait_for(r"^stream record: (.*)", timeout=10).group(1)
        cpu_after, wall_after = cpu_seconds(pid), time.monotonic()
        switches_after = context_switches(pid)
        memory = memory_kib(pid)
        host.send(DIALOG.format(0))
        summary = phone.wait_for(r"^media summary: (.*)", timeout=10).group(1)
        closed = console.wait_for(r"NETWORK: RTP closed: (.*)", timeout=10).group(1)
        host.send("stream 1")
        host.wait_for(r"^stream record: ", timeout=10)
        cp = console.wait_for(r"CP: call audio ended: (.*)", timeout=10).group(1)
        for proc in (console, host, phone):
            proc.stop()

        h2p = delays(onsets(host, "played"), onsets(phone, "heard"))
        p2h = delays(onsets(phone, "sent"), onsets(host, "recorded"))
        call = wall_after - wall_before
        cpu_ms = (cpu_after - cpu_before) / call * 1000
        clock = "" if skew_ppm is None else f", phone clock {skew_ppm:+d} ppm"
        print(f"call audio benchmark: {seconds} s, Linux-shaped streams{clock}")
        print(f"playback worker completions (6-packet URBs): {play}")
        print(f"capture worker completions (1-packet URBs):  {record}")
        print(f"delay host -> phone: {describe([d for _, d in h2p])}")
        print(f"delay phone -> host: {describe([d for _, d in p2h])}")
        skewed = skew_ppm is not None
        for line in per_minute(int(wall_before * 1e6), int(wall_after * 1e6), h2p, p2h,
                               playout_counts(phone) if skewed else None,
                               capture_events(quorlib.frame_marks(recording)) if skewed else None):
            print(line)
        if skew_ppm is not None:
            skipped = re.search(r"(\d+) skipped", closed)
            repeated = re.search(r"(\d+) repeated", cp)
            minutes = call / 60
            if skipped and repeated:
                print(f"connector's own counts, phone -> host, whole call: "
                      f"{skipped.group(1)} skipped, {repeated.group(1)} repeated ("
                      f"{int(skipped.group(1)) / minutes:.1f} and "
                      f"{int(repeated.group(1)) / minutes:.1f} per minute)")
            print(f"frames the skew forces: about {abs(skew_ppm) * FRAMES_PER_MINUTE / 1e6:.1f} "
                  "per minute in each direction")
        print(f"quor-console CPU: {cpu_ms:.1f} ms per second "
              f"of call ({cpu_after - cpu_before:.2f} s over {call:.1f} s)")
        print(f"context switches: {(switches_after[0] - switches_before[0]) / call:.0f} voluntary, "
              f"{(switches_after[1] - switches_before[1]) / call:.0f} involuntary per second "
              "of call")
        print(f"quor-console memory: VmRSS {memory.get('VmRSS', 0)} KiB, "
              f"VmHWM {memory.get('VmHWM', 0)} KiB")
        print(f"phone: {summary}")
        print(f"connector RTP: {closed}")
        print(f"connector capture: {cp}")
        if reference:
            sys.stdout.flush()
            figures = run_reference(seconds, home)
            if figures is None:
                print("reference CPU: no ffmpeg on this machine")
            else:
                ref_ms, audio_s = figures
                print(f"reference CPU: {ref_ms:.1f} ms per second of call "
                      f"({audio_s:.1f} s of 48 kHz audio received)")
                print(f"CPU ratio: {cpu_ms / ref_ms:.2f}" if ref_ms > 0 else
                      "CPU ratio: n/a (the reference took no measurable CPU)")
            sys.stdout.flush()
            floor = os.path.join(bin_dir, "quor-pacing-floor")
            if os.access(floor, os.X_OK):
                subprocess.run([floor, str(min(seconds, FLOOR_SECONDS))], check=False)
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("QUOR_BIN_DIR",
                                                        os.path.join(ROOT, "build")))
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--skew-ppm", type=int, default=None,
                        help="the phone's media clock this many ppm fast (negative: slow)")
    parser.add_argument("--no-reference", action="store_true",
                        help="skip the ffmpeg reference run")
    args = parser.parse_args()
    if os.environ.get("QUOR_BENCH_ISOLATED") != "1":
        env = dict(os.environ, QUOR_BENCH_ISOLATED="1")
        isolate = os.path.join(ROOT, "tests", "integration", "run_isolated.sh")
        extra = [] if args.skew_ppm is None else ["--skew-ppm", str(args.skew_ppm)]
        if args.no_reference:
            extra.append("--no-reference")
        sys.exit(subprocess.call([isolate, sys.executable, os.path.abspath(__file__),
                                  "--bin", os.path.abspath(args.bin),
                                  "--seconds", str(args.seconds), *extra], env=env))
    run(args.bin, args.seconds, args.skew_ppm, not args.no_reference)


if __name__ == "__main__":
    main()
