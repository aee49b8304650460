#include "media/rtp_session.h"

#include <cstring>
#include <mutex>

#include "base/diag_log.h"
#include "media/frame_backlog.h"
#include "media/srtp_keying.h"
#include "platform/byte_order.h"
#include "platform/net.h"
#include "platform/udp_io.h"
#include "srtp_kit/srtp_kit.h"

namespace quor {

std::atomic<int> g_rtp_socket{-1};

namespace {
constexpr size_t SEND_BUFFER_SIZE = 16000;
constexpr size_t RECEIVE_SIZE = 1600;
constexpr uint32_t DROP_LOG_EVERY = 500;
// Bounds one discard; more than the socket's buffer can hold.
constexpr int MAX_DISCARD = 4096;
// Datagrams looked at by one receive, so a flood cannot hold the
// microphone's worker.
constexpr int MAX_COLLECT = 64;

// Guarded by g_media.lock, like the socket's use.
Ipv4Endpoint g_rtp_peer;
uint8_t g_plain[SEND_BUFFER_SIZE];
uint8_t g_protected[SEND_BUFFER_SIZE];
uint8_t g_datagram[RECEIVE_SIZE];
FrameBacklog g_backlog;
// What the open session carried, logged when it closes.
uint32_t g_dropped = 0;
uint32_t g_sent = 0;
uint32_t g_received = 0;

void note_dropped(const char* why, const Ipv4Endpoint& from) {
    if (g_dropped++ % DROP_LOG_EVERY == 0)
        quor_log("NETWORK: RTP datagram from %u.%u.%u.%u:%u dropped (%s), %u so far\n",
                 from.addr >> 24, (from.addr >> 16) & 0xFF, (from.addr >> 8) & 0xFF,
                 from.addr & 0xFF, from.port, why, g_dropped);
}
// Takes every datagram waiting (up to MAX_COLLECT) into the backlog. Under
// g_media.lock.
void collect_waiting(int fd) {
    for (int i = 0; i < MAX_COLLECT; ++i) {
        Ipv4Endpoint from;
        const ssize_t n = udp_receive_from(fd, g_datagram, sizeof(g_datagram), &from);
        if (n <= 0) return;
        take_rtp_datagram_locked(g_datagram, size_t(n), from);
    }
}
}  // namespace

void build_rtp_header(uint32_t count, uint32_t ssrc, uint8_t out[RTP_HEADER_LEN]) {
    out[0] = 0x80;
    out[1] = uint8_t((count == 0 ? 0x80 : 0x00) | RTP_PAYLOAD_TYPE);
    put_be16(out + 2, uint16_t(count + RTP_FIRST_SEQUENCE));
    put_be32(out + 4, count * RTP_TIMESTAMP_STEP);
    put_be32(out + 8, ssrc);
}

size_t downsample_by_3(const uint8_t* in, size_t len, uint8_t* out, size_t out_size) {
    size_t written = 0;
    for (size_t i = 0; i + 6 <= len && written + 2 <= out_size; i += 6) {
        out[written++] = in[i];
        out[written++] = in[i + 1];
    }
    return written;
}

size_t upsample_by_3(const uint8_t* in, size_t len, uint8_t* out, size_t out_size) {
    size_t written = 0;
    for (size_t i = 0; i + 2 <= len && written + 6 <= out_size; i += 2) {
        for (int k = 0; k < 3; ++k) {
            out[written++] = in[i];
            out[written++] = in[i + 1];
        }
    }
    return written;
}

void samples_to_network(uint8_t* buf, size_t len) {
    for (size_t i = 0; i + 2 <= len; i += 2) put_be16(buf + i, get_le16(buf + i));
}

void samples_to_host(uint8_t* buf, size_t len) {
    for (size_t i = 0; i + 2 <= len; i += 2) put_le16(buf + i, get_be16(buf + i));
}

int open_rtp_socket(uint16_t local_port, uint16_t remote_port, uint32_t remote_addr) {
    const int fd = udp_bind(local_port);
    if (fd < 0) {
        quor_log("NETWORK: RTP port %u not bound\n", local_port);
        return -1;
    }
    if (udp_set_nonblocking(fd) != 0) {
        close_socket(fd);
        return -1;
    }
    std::lock_guard lk(g_media.lock);
    g_rtp_peer = Ipv4Endpoint{remote_addr, remote_port};
    g_dropped = g_sent = g_received = 0;
    g_backlog.start();
    g_rtp_socket = fd;
    return 0;
}

void close_rtp_socket() {
    std::lock_guard lk(g_media.lock);
    const int fd = g_rtp_socket.exchange(-1);
    if (fd < 0) return;
    close_socket(fd);
    quor_log("NETWORK: RTP closed: %u packets sent, %u received, %u dropped, %u skipped\n", g_sent,
             g_received, g_dropped, g_backlog.trimmed());
}

int rtp_send(const uint8_t* samples, size_t len) {
    std::lock_guard lk(g_media.lock);
    const uint32_t count = g_media.rtp_packet_count++;
    const size_t plain_len = RTP_HEADER_LEN + len;
    if (plain_len + SRTP_KIT_TRAILER_ROOM > SEND_BUFFER_SIZE) return -1;
    const int fd = g_rtp_socket;
    if (fd < 0 || g_media.srtp_session == nullptr) return -1;
    build_rtp_header(count, g_media.rtp_ssrc, g_plain);
    memcpy(g_plain + RTP_HEADER_LEN, samples, len);
    samples_to_network(g_plain + RTP_HEADER_LEN, len);
    memcpy(g_protected, g_plain, plain_len);
    int protected_len = int(plain_len);
    if (srtp_protect_locked(g_protected, &protected_len) != 0) return -1;
    if (protected_len <= 0 || size_t(protected_len) > SEND_BUFFER_SIZE) return -1;
    const size_t common = std::min(plain_len, size_t(protected_len));
    if (memcmp(g_plain, g_protected, common) == 0) return -1;
    if (udp_send_to(fd, g_protected, size_t(protected_len), g_rtp_peer) < 0) return -1;
    ++g_sent;
    return 0;
}

int send_playback_audio(const uint8_t* frame, size_t len) {
    if (frame == nullptr || len > MAX_PLAYBACK_FRAME) return 0;
    uint8_t samples[MAX_PLAYBACK_FRAME / 3 + 2];
    const size_t n = downsample_by_3(frame, len, samples, sizeof(samples));
    rtp_send(samples, n);
    return 0;
}

bool take_rtp_datagram_locked(uint8_t* datagram, size_t len, const Ipv4Endpoint& from) {
    if (g_media.srtp_session == nullptr) return false;
    int plain_len = int(len);
    if (srtp_unprotect_locked(datagram, &plain_len) != 0) {
        note_dropped("not authentic", from);
        return false;
    }
    if (plain_len != int(RTP_PACKET_LEN)) {
        note_dropped("not a 10 ms packet", from);
        return false;
    }
    // Only an authenticated packet may move where our audio goes.
    g_rtp_peer = from;
    ++g_received;
    g_backlog.push(datagram + RTP_HEADER_LEN);
    return true;
}

bool next_rtp_frame_locked(uint8_t* dest) {
    uint8_t payload[RTP_PAYLOAD_BYTES];
    if (!g_backlog.take(payload)) return false;
    upsample_by_3(payload, RTP_PAYLOAD_BYTES, dest, USB_FRAME_BYTES);
    samples_to_host(dest, USB_FRAME_BYTES);
    return true;
}

Ipv4Endpoint rtp_peer_locked() {
    return g_rtp_peer;
}

int rtp_receive(uint8_t* dest) {
    std::lock_guard lk(g_media.lock);
    const int fd = g_rtp_socket;
    if (fd < 0 || dest == nullptr) return -1;
    collect_waiting(fd);
    return next_rtp_frame_locked(dest) ? 0 : -1;
}

int rtp_discard_waiting() {
    std::lock_guard lk(g_media.lock);
    const int fd = g_rtp_socket;
    int n = int(g_backlog.size());
    g_backlog.clear();
    while (fd >= 0 && n < MAX_DISCARD &&
           udp_receive_from(fd, g_datagram, sizeof(g_datagram), nullptr) > 0)
        ++n;
    return n;
}

}  // namespace quor
