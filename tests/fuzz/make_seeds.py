"""Writes the seed corpora of the fuzz targets that read what the phone, the
update server and the settings file give the program, from what the real
programs send and write: quor-phone-sim paired with this script acting as
the connector (its identity, address datagrams, syslog datagrams, crypto
line and SRTP audio, decrypted with the program's SRTP library), a local
HTTP server for the update file, and quor-console for config.ini.

Run from the repository inside a network namespace of its own, with a
normal (not sanitizer) build:

    tests/integration/run_isolated.sh python3 tests/fuzz/make_seeds.py build

Each target's input layout is described at the top of its fuzz_*.cpp; the
seeds follow it. The keys, SSRCs and sequence numbers differ from run to run.
"""

import base64
import ctypes
import http.server
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import quorlib as q  # noqa: E402

CORPUS = os.path.join(HERE, "corpus")
LOOPBACK = "127.0.0.1"
RTP_PORT = 18747
SYSLOG_PORT = 514
SUITE = b"1 AES_CM_128_HMAC_SHA1_80 inline:"
IDENTITY_FRAMES = 4
AUDIO_PACKETS = 30
# The longest model name whose USB strings fit 126 characters.
LONGEST_MODEL = "Q" * 103
# fuzz_rtp_receive and fuzz_srtp_receive operations.
RX_PACKET, RX_10MS, RX_TAKE, RX_DISCARD = 0, 1, 2, 3
SR_FRESH, SR_HELD, SR_REPLAY, SR_CUT, SR_FLIP, SR_EXTEND, SR_ANY, SR_TAKE = range(8)


def u16(n):
    return struct.pack("<H", n)


def write_seed(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
    print(f"{target}/{name}: {len(data)} bytes")


def udp_listener(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((LOOPBACK, port))
    s.settimeout(q.DEFAULT_TIMEOUT)
    return s


def receive(sock, count):
    return [sock.recv(65535) for _ in range(count)]


class SrtpKit:
    """The program's SRTP library, to read the phone's audio."""

    class Params(ctypes.Structure):
        _fields_ = [("remote_crypto", ctypes.c_char_p), ("remote_crypto_len", ctypes.c_int32),
                    ("reserved0", ctypes.c_int32), ("local_crypto", ctypes.c_char_p),
                    ("local_crypto_len", ctypes.c_int32), ("reserved1", ctypes.c_int32),
                    ("reserved", ctypes.c_uint8 * 40)]

    def __init__(self, build_dir, local, remote):
        self.lib = ctypes.CDLL(os.path.join(build_dir, "libquor_srtp_kit.so"))
        if self.lib.srtp_kit_init(None) != 0:
            raise RuntimeError("srtp_kit_init failed")
        params = self.Params(remote, len(remote), 0, local, len(local), 0)
        self.handle = ctypes.c_void_p()
        if self.lib.srtp_kit_create(ctypes.byref(self.handle), ctypes.byref(params)) != 0:
            raise RuntimeError("srtp_kit_create refused the lines")

    def unprotect(self, datagram):
        buf = ctypes.create_string_buffer(datagram, len(datagram))
        n = ctypes.c_int(len(datagram))
        if self.lib.srtp_kit_rtp_unprotect(self.handle, buf, ctypes.byref(n)) != 0:
            raise RuntimeError("the phone's packet did not authenticate")
        return buf.raw[:n.value]


def phone_session(build_dir):
    """Pairs with the phone simulator and collects what it sends."""
    got = {}
    sim = q.spawn("quor-phone-sim", "--tone", "600")
    sim.wait_for(r"^listening 7063")
    with q.CtrlClient() as c, udp_listener(q.ADDRESS_PORT) as addr_sock, \
            udp_listener(SYSLOG_PORT) as log_sock, udp_listener(RTP_PORT) as rtp_sock:
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER)
        c.send(q.PAIR_START)
        got["identity"] = [c.recv() for _ in range(IDENTITY_FRAMES)]

        for command in ("announce 192.168.1.20", "announce 10.0.0.5", "announce 127.0.0.1",
                        "announce-raw C0 A8 01 14 01 7E", "announce-raw C0 A8 01 14 01 7D 00"):
            sim.send(command)
        got["address"] = receive(addr_sock, 5)

        c.send(q.LOG_ROUTE, bytes([1, 1, 7, 0, 127, 0, 0, 1]))
        sim.wait_for(r"^log route pc 127\.0\.0\.1$")
        sim.send("syslog 10")
        got["log_lines"] = receive(log_sock, 10)
        sim.send("syslog 3 2048")
        got["log_long"] = receive(log_sock, 3)

        ours = SUITE + base64.b64encode(os.urandom(30))
        c.send(q.MEDIA_OFFER, struct.pack(">I", RTP_PORT) + ours.ljust(128, b"\0"))
        answer = c.expect(q.PHONE_MEDIA_OFFER)
        got["offer_field"] = ours.ljust(128, b"\0")
        got["answer_line"] = answer[4:]
        got["srtp"] = receive(rtp_sock, AUDIO_PACKETS)
        c.send(q.MEDIA_STOP)
        c.send(q.UNPAIR)
        c.expect(q.UNPAIR_ACK)
    sim.stop()
    phone_line = got["answer_line"].split(b"\0")[0]
    kit = SrtpKit(build_dir, ours, phone_line)
    got["plain"] = [kit.unprotect(d) for d in got["srtp"]]
    return got


def phone_identity(*sim_args):
    """The phone simulator's identity frames, as (type, payload)."""
    sim = q.spawn("quor-phone-sim", *sim_args)
    sim.wait_for(r"^listening 7063")
    with q.CtrlClient() as c:
        c.send(q.PAIR_QUERY)
        c.expect(q.PAIR_ANSWER)
        c.send(q.PAIR_START)
        frames = [c.recv() for _ in range(IDENTITY_FRAMES)]
        c.send(q.UNPAIR)
        c.expect(q.UNPAIR_ACK)
    sim.stop()
    return frames


# Control requests of a host from plug-in to a call (enumeration, status, the
# HID report descriptor, the volume, the streaming interfaces' settings and
# the sample rate): setup packet fields (bmRequestType, bRequest, wValue,
# wIndex, wLength) and the OUT data.
ENUMERATION = [
    (0x80, 6, 0x0100, 0, 64), (0x00, 5, 2, 0, 0), (0x80, 6, 0x0100, 0, 18),
    (0x80, 6, 0x0200, 0, 9), (0x80, 6, 0x0200, 0, 217), (0x80, 6, 0x0300, 0, 255),
    (0x80, 6, 0x0304, 0x0409, 255), (0x80, 6, 0x0305, 0x0409, 255),
    (0x80, 6, 0x0306, 0x0409, 255), (0x80, 6, 0x0307, 0x0409, 255),
    (0x80, 6, 0x0305, 0x0409, 4), (0x00, 9, 1, 0, 0), (0x80, 0, 0, 0, 2),
    (0x81, 0, 0, 3, 2), (0x82, 0, 0, 0x83, 2), (0x02, 1, 0, 0x82, 0),
    (0x81, 6, 0x2200, 3, 457), (0x21, 10, 0, 3, 0), (0xA1, 0x81, 0x0200, 0x0500, 2),
    (0x01, 11, 1, 1, 0), (0x22, 1, 0x0100, 0x01, 3, b"\x80\xbb\x00"), (0x81, 10, 0, 1, 1),
    (0x01, 11, 0, 1, 0), (0x01, 11, 1, 2, 0), (0x01, 11, 0, 2, 0),
]


def device_request_seeds(identity, long_identity):
    """fuzz_device_requests: pairing with the phone's identity, then the
    host's requests; layout at the top of fuzz_device_requests.cpp."""

    def pairing(frames):
        fields = {t: p for t, p in frames}
        number = lambda t: u16(struct.unpack(">H", fields[t])[0])  # noqa: E731
        model = fields[q.MODEL_NAME]
        return (bytes([0, len(model)]) + model + number(q.VENDOR_ID) + number(q.PRODUCT_ID) +
                number(q.DEVICE_RELEASE))

    def requests():
        out = b""
        for r in ENUMERATION:
            kind, request, value, index, length = r[:5]
            out += bytes([1, kind, request]) + u16(value) + u16(index) + u16(length)
            if not kind & 0x80:
                out += r[5] if len(r) > 5 else b""
        return out

    write_seed("fuzz_device_requests", "enumeration", pairing(identity) + requests())
    write_seed("fuzz_device_requests", "longest_model", pairing(long_identity) + requests())


def rtp_seeds(plain):
    ten_ms = [bytes([RX_10MS, 0]) + p for p in plain]
    take = bytes([RX_TAKE])
    write_seed("fuzz_rtp_receive", "call", b"".join(p + take for p in ten_ms[:20]))
    write_seed("fuzz_rtp_receive", "burst", b"".join(ten_ms[:8]) + take * 8)
    moved = [bytes([RX_10MS, 1]) + p for p in plain[3:6]]
    write_seed("fuzz_rtp_receive", "moved", b"".join(p + take for p in ten_ms[:3] + moved))
    odd = (bytes([RX_PACKET, 0]) + u16(331) + plain[0][:331] +
           bytes([RX_PACKET, 2]) + u16(333) + plain[1] + b"\0" +
           ten_ms[2] + take + bytes([RX_DISCARD]) + ten_ms[3] + take)
    write_seed("fuzz_rtp_receive", "odd_lengths", odd)


def srtp_seeds(plain, foreign):
    def fresh(op, p):
        payload = p[12:12 + 255]
        return bytes([op, 0]) + p[2:4][::-1] + bytes([len(payload)]) + payload

    in_order = b"".join(fresh(SR_FRESH, p) + bytes([SR_TAKE]) for p in plain[:10])
    write_seed("fuzz_srtp_receive", "in_order", in_order)
    damaged = (b"".join(fresh(SR_FRESH, p) for p in plain[:5]) +
               bytes([SR_REPLAY, 1, SR_CUT, 2]) + u16(100) +
               bytes([SR_FLIP, 3]) + u16(20) + bytes([0x01]) +
               bytes([SR_EXTEND, 4, 10]) + plain[4][:10] +
               fresh(SR_HELD, plain[5]) + fresh(SR_FRESH, plain[6]) +
               bytes([SR_REPLAY, 5, SR_TAKE]))
    write_seed("fuzz_srtp_receive", "replayed_and_damaged", damaged)
    write_seed("fuzz_srtp_receive", "other_key",
               b"".join(bytes([SR_ANY]) + u16(len(d)) + d for d in foreign[:3]))


def syslog_seeds(lines, long_lines):
    def appended(datagrams):
        return b"".join(bytes([1]) + u16(len(d)) + d for d in datagrams)

    save = bytes([0])
    write_seed("fuzz_syslog_ring", "lines", u16(4095) + appended(lines) + save)
    write_seed("fuzz_syslog_ring", "lines_wrapping",
               u16(63) + appended(lines[:3]) + save + appended(lines[3:]) + save)
    write_seed("fuzz_syslog_ring", "longer_than_the_ring",
               u16(999) + appended(long_lines) + save)


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def update_seeds():
    documents = {
        "newer": "<upgrade><version>2.1.0.0</version>"
                 "<setup>https://downloads.example.test/Setup.exe</setup></upgrade>",
        "same": "<upgrade><version>2.0.14.0</version>"
                "<setup>http://downloads.example.test/Setup.exe</setup></upgrade>",
        "attribute": "<?xml version=\"1.0\"?>\n<upgrade>\n  <version type=\"release\">2.0.15.0"
                     "</version>\n  <setup>HTTPS://downloads.example.test/Setup.exe</setup>\n"
                     "</upgrade>\n",
        "no_setup": "<upgrade><version>2.1.0.0</version></upgrade>",
        "not_web": "<upgrade><version>2.1.0.0</version>"
                   "<setup>file:///usr/bin/xterm</setup></upgrade>",
    }
    www = tempfile.mkdtemp(prefix="quor-seeds-www-")
    os.makedirs(os.path.join(www, "Quor"))
    for name, text in documents.items():
        with open(os.path.join(www, "Quor", name + ".xml"), "w") as f:
            f.write(text)
    server = http.server.ThreadingHTTPServer(
        (LOOPBACK, 0), lambda *a: Quiet(*a, directory=www))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://{LOOPBACK}:{server.server_address[1]}/Quor/"
    for name in documents:
        with urllib.request.urlopen(base + name + ".xml") as r:
            write_seed("fuzz_update_file", name, r.read())
    try:
        urllib.request.urlopen(base + "upgrade.xml")
    except urllib.error.HTTPError as e:
        write_seed("fuzz_update_file", "not_found_page", e.read())
    server.shutdown()
    shutil.rmtree(www)


def console_config(home, commands, done):
    """Runs quor-console in HOME with COMMANDS; its config.ini once DONE(text)."""
    env = dict(os.environ, QUOR_HOME=home, XDG_RUNTIME_DIR=home, TMPDIR=home, LANG="C.UTF-8")
    path = os.path.join(home, "config.ini")
    with q.spawn("quor-console", env=env) as c:
        c.wait_for(r"^status: ")
        for command in commands:
            c.send(command)
        deadline = time.monotonic() + q.DEFAULT_TIMEOUT
        while True:
            text = open(path, "rb").read() if os.path.exists(path) else b""
            if done(text):
                break
            if time.monotonic() > deadline:
                raise AssertionError(f"config.ini not as expected: {text!r}")
            time.sleep(0.05)
        c.send("command 32778")
        c.wait_exit()
    return text


def config_seeds():
    home = tempfile.mkdtemp(prefix="quor-seeds-home-")
    first = console_config(home, [], lambda t: b"ResendGruu" in t)
    write_seed("fuzz_config_ini", "first_start", first)
    paired = console_config(home, ["ip 192.168.1.10", "auto on", "pair", "stop"],
                            lambda t: b"PhoneIP=-1062731510" in t and b"AutoIP=1" in t)
    write_seed("fuzz_config_ini", "after_pairing", paired)
    edited = (b"; settings of the connector\r\n[Section 1]\r\nAutoPair = 0\r\nAutoRun=0\r\n"
              b"PairTimeout=-1\r\nDebug=abc\r\n\r\n[Other]\r\nkey=value ; not a comment\r\n"
              b"# the end\r\n")
    write_seed("fuzz_config_ini", "edited_by_hand", edited)
    with open(os.path.join(home, "config.ini"), "wb") as f:
        f.write(edited)
    rewritten = console_config(home, [], lambda t: b"ResendGruu" in t)
    write_seed("fuzz_config_ini", "edited_by_hand_then_loaded", rewritten)
    shutil.rmtree(home)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py BUILD_DIR")
    build_dir = os.path.abspath(sys.argv[1])
    os.environ["QUOR_BIN_DIR"] = build_dir
    got = phone_session(build_dir)
    names = ["192_168_1_20", "10_0_0_5", "127_0_0_1", "bad_check", "seven_bytes"]
    for name, datagram in zip(names, got["address"]):
        write_seed("fuzz_address_datagram", name, datagram)
    write_seed("fuzz_crypto_line", "phone_answer", got["answer_line"])
    write_seed("fuzz_crypto_line", "our_offer", got["offer_field"])
    device_request_seeds(got["identity"], phone_identity("--model", LONGEST_MODEL))
    rtp_seeds(got["plain"])
    srtp_seeds(got["plain"], got["srtp"])
    syslog_seeds(got["log_lines"], got["log_long"])
    update_seeds()
    config_seeds()


if __name__ == "__main__":
    main()
