// Feeds the call's receive path with packets as they come out of SRTP
// unprotection: whatever bytes the input gives, the phone's end protects
// with the phone's key, and the program takes them as datagrams from one of
// four addresses, between the microphone's takes and discards. Checks that
// exactly the 10 ms packets are kept, that the microphone gets their samples
// as a second backlog fed with the same payloads gives them, and that our
// audio goes only where a kept packet came from.
//
// Input, repeated: an operation byte, then
//   0  a packet: its source (1 byte), its length (16 bits), its bytes
//   1  a 10 ms packet: its source, 332 bytes (zeros where the input ends)
//   2  a take by the microphone
//   3  a discard of everything waiting
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "media/frame_backlog.h"
#include "srtp_phone.h"

using namespace quor;
using namespace quor::fuzz;

namespace {

Ipv4Endpoint source(uint8_t choice) {
    return {0x0A000001u + (choice & 3u), uint16_t(5000 + (choice & 3))};
}

bool same(const Ipv4Endpoint& a, const Ipv4Endpoint& b) {
    return a.addr == b.addr && a.port == b.port;
}

// What the microphone gets of a 10 ms payload: every big-endian sample three
// times, little-endian.
void frame_of(const uint8_t* payload, uint8_t* frame) {
    for (size_t i = 0; i < RTP_PAYLOAD_BYTES / 2; ++i) {
        for (size_t k = 0; k < 3; ++k) {
            frame[6 * i + 2 * k] = payload[2 * i + 1];
            frame[6 * i + 2 * k + 1] = payload[2 * i];
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    open_call();
    PhoneEnd phone(PHONE_LINE, g_media.local_crypto);
    FrameBacklog expected;
    Ipv4Endpoint peer = current_peer();
    Input in(data, size);
    while (!in.empty()) {
        const uint8_t op = in.byte() % 4;
        switch (op) {
            case 0:
            case 1: {
                const Ipv4Endpoint from = source(in.byte());
                std::vector<uint8_t> plain = in.bytes(op == 1 ? RTP_PACKET_LEN : in.u16());
                if (op == 1) plain.resize(RTP_PACKET_LEN);
                const std::vector<uint8_t> wire = phone.protect(plain);
                if (wire.empty()) break;
                const bool kept = deliver(wire, from);
                if (kept != (plain.size() == RTP_PACKET_LEN)) abort();
                if (kept) {
                    expected.push(plain.data() + RTP_HEADER_LEN);
                    peer = from;
                }
                if (!same(current_peer(), peer)) abort();
                break;
            }
            case 2: {
                uint8_t payload[RTP_PAYLOAD_BYTES];
                uint8_t want[USB_FRAME_BYTES];
                uint8_t got[USB_FRAME_BYTES];
                const bool waiting = expected.take(payload);
                if (next_frame(got) != waiting) abort();
                if (waiting) {
                    frame_of(payload, want);
                    if (memcmp(got, want, sizeof(want)) != 0) abort();
                }
                break;
            }
            default:
                if (rtp_discard_waiting() != int(expected.size())) abort();
                expected.clear();
                break;
        }
    }
    return 0;
}
