// Feeds the call's receive path with SRTP as a forger or a bad network
// shapes it: 10 ms packets that the phone's end protects with the phone's
// key, delivered at once or held back, and later replayed, cut short, with
// bits flipped or bytes added, and datagrams of any bytes. Checks that the
// program keeps a datagram only when it is a packet as the phone protected
// it and not kept before, and that, as long as every packet was delivered
// whole as soon as it was protected, it keeps each of them.
//
// Input, repeated: an operation byte, then
//   0  a packet delivered at once: its SSRC (1 byte, one of two), sequence
//      number (16 bits), payload length (1 byte) and bytes, zeros after
//   1  the same, held back
//   2  a packet sent before, again: which (1 byte)
//   3  one cut short: which, its new length (16 bits, shorter)
//   4  one with bits flipped: which, the offset (16 bits), the mask (1 byte)
//   5  one with bytes added: which, their number (1 byte), the bytes
//   6  a datagram of any bytes: its length (16 bits), the bytes
//   7  a take by the microphone
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "srtp_phone.h"

using namespace quor;
using namespace quor::fuzz;

namespace {

constexpr uint32_t PHONE_SSRC[2] = {0x0BADCAFE, 0x5EED0001};

struct Sent {
    std::vector<uint8_t> wire;
    bool kept = false;
};

// The plain packet as the phone builds it.
std::vector<uint8_t> phone_packet(Input& in) {
    const uint32_t ssrc = PHONE_SSRC[in.byte() & 1];
    const uint16_t seq = in.u16();
    std::vector<uint8_t> p(RTP_HEADER_LEN);
    p[0] = 0x80;
    p[1] = RTP_PAYLOAD_TYPE;
    put_be16(&p[2], seq);
    put_be32(&p[4], uint32_t(seq) * RTP_TIMESTAMP_STEP);
    put_be32(&p[8], ssrc);
    const std::vector<uint8_t> payload = in.bytes(in.byte());
    p.insert(p.end(), payload.begin(), payload.end());
    p.resize(RTP_PACKET_LEN);
    return p;
}

// Delivers DATAGRAM; what was kept must be a packet as the phone protected
// it, kept for the first time.
bool deliver_checked(const std::vector<uint8_t>& datagram, std::vector<Sent>& sent) {
    if (!deliver(datagram, Ipv4Endpoint{0x7F000001, 30000})) return false;
    for (Sent& s : sent) {
        if (!s.kept && s.wire == datagram) {
            s.kept = true;
            return true;
        }
    }
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    open_call();
    PhoneEnd phone(PHONE_LINE, g_media.local_crypto);
    std::vector<Sent> sent;
    // Every packet so far was delivered whole right after its protection.
    bool in_step = true;
    Input in(data, size);
    while (!in.empty()) {
        const uint8_t op = in.byte() % 8;
        if (op <= 1) {
            const std::vector<uint8_t> wire = phone.protect(phone_packet(in));
            if (wire.empty()) continue;
            sent.push_back({wire});
            if (op == 1) {
                in_step = false;
            } else if (!deliver_checked(wire, sent) && in_step) {
                abort();
            }
            continue;
        }
        if (op == 6) {
            deliver_checked(in.bytes(in.u16()), sent);
            continue;
        }
        if (op == 7) {
            uint8_t frame[USB_FRAME_BYTES];
            next_frame(frame);
            continue;
        }
        if (sent.empty()) continue;
        std::vector<uint8_t> datagram = sent[in.byte() % sent.size()].wire;
        if (op == 3) {
            datagram.resize(in.u16() % datagram.size());
        } else if (op == 4) {
            const size_t at = in.u16() % datagram.size();
            datagram[at] ^= uint8_t(in.byte() | 1);
        } else if (op == 5) {
            const std::vector<uint8_t> more = in.bytes(in.byte() + 1u);
            datagram.insert(datagram.end(), more.begin(), more.end());
        }
        deliver_checked(datagram, sent);
    }
    return 0;
}
