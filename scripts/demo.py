"""The built-in demo: the connector pairs with a simulated desk phone and
plugs its virtual USB phone into a simulated PC host, on loopback only.

Run by scripts/demo.sh inside a network namespace of its own."""

import os
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import quorlib  # noqa: E402

LOOPBACK = 0x7F000001


def echo(proc, label, stop):
    """Prints the program's lines as they come."""
    shown = 0
    while not stop.is_set():
        lines = proc.lines[shown:]
        for line in lines:
            sys.stdout.write(f"[{label}] {line}\n")
            sys.stdout.flush()
        shown += len(lines)
        time.sleep(0.05)


# SET_REPORT of report 6 to interface 3: the call dialog starts (1) or ends (0).
DIALOG = "control 2109060203000200 060{}"


def call(host, phone, seconds=5):
    """Five seconds of two-way audio: the host plays 1 kHz into the speaker
    and records the microphone, the phone sends 600 Hz; each side then says
    what it heard."""
    for command, answer in (("set-interface 2 1", r"^set-interface 2 1 status=0$"),
                            ("set-interface 1 1", r"^set-interface 1 1 status=0$"),
                            (DIALOG.format(1), r"^control status=0 ")):
        host.send(command)
        host.wait_for(answer, timeout=10)
    phone.wait_for(r"^media started: ", timeout=10)
    host.send(f"stream {seconds} play 1000")
    host.wait_for(r"^stream play: ", timeout=seconds + 10)
    heard_by_pc = host.wait_for(r"^stream record: .*", timeout=5).group(0)
    host.send(DIALOG.format(0))
    heard_by_phone = phone.wait_for(r"^media summary: .*", timeout=10).group(0)
    print(f"[demo] the PC heard: {heard_by_pc}", flush=True)
    print(f"[demo] the phone heard: {heard_by_phone}", flush=True)


def main():
    home = tempfile.mkdtemp(prefix="quor-demo-")
    with open(os.path.join(home, "config.ini"), "w") as f:
        f.write(f"[SECTION 1]\nPhoneIP={LOOPBACK}\nAutoPair=1\nAutoRun=0\n")
    env = dict(os.environ, QUOR_HOME=home, XDG_RUNTIME_DIR=home,
               XDG_CONFIG_HOME=home, LANG=os.environ.get("LANG", "C.UTF-8"))
    stop = threading.Event()
    procs = []
    host = None

    phone = quorlib.spawn("quor-phone-sim", "--tone", "600", env=env)
    phone.wait_for(r"^listening")
    procs.append((phone, "phone"))
    if os.path.exists(quorlib.bin_path("quor-host-sim")):
        address = f"unix:{home}/host.sock"
        host = quorlib.spawn("quor-host-sim", "--listen", address, env=env)
        host.wait_for(r"^listening ")
        env["QUOR_VBUS"] = address
        procs.append((host, "host"))
    connector = quorlib.spawn("quor-console", env=env)
    procs.append((connector, "connector"))
    for proc, label in procs:
        threading.Thread(target=echo, args=(proc, label, stop), daemon=True).start()

    try:
        connector.wait_for(r"^status: Pairing\.\.\.$", timeout=10)
        connector.wait_for(r"^status: Paired\(Sign Out\)$", timeout=20)
        print("[demo] the USB phone is plugged in; the phone signs in", flush=True)
        phone.send("signin")
        connector.wait_for(r"^status: Paired\(Sign In\)$", timeout=10)
        print("[demo] paired and signed in; the PC's softphone places a call", flush=True)
        if host:
            call(host, phone)
        print("[demo] pressing Unpair", flush=True)
        connector.send("pair")
        connector.wait_for(r"^status: Not Paired$", timeout=15)
        connector.send("command 32778")
        connector.wait_exit(timeout=10)
        print("[demo] done", flush=True)
        return 0
    except AssertionError as e:
        print(f"[demo] the demo did not go as planned: {e}", flush=True)
        return 1
    finally:
        time.sleep(0.2)
        stop.set()
        for proc, _ in procs:
            proc.stop()


if __name__ == "__main__":
    sys.exit(main())
