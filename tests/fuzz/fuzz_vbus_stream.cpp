// Feeds an arbitrary byte stream from the "host" end of a socket pair to
// the bus's PDU reader, and every request it accepts to the dispatcher, as
// the bus reader thread does. Queued streaming and interrupt requests are
// answered the way the workers answer them, so the reply conversion runs on
// whatever request shapes got through. The host end checks every reply.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/byte_order.h"
#include "platform/vbus_socket.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/dispatch.h"
#include "soft_dev/usbip_pdu.h"
#include "support/fake_controller.h"

namespace {

constexpr size_t WORKER_PACKETS = 10;
constexpr size_t WORKER_FRAME = 960;

// Replies as the playback, capture and interrupt workers write them: ten
// 96-byte packet descriptors, with 960 bytes of audio for capture.
void answer_queue(quor::RequestQueue& queue, quor::VirtualBus& bus, size_t data_len,
                  bool descriptors) {
    std::vector<uint8_t> req;
    while (queue.pop(&req)) {
        std::vector<uint8_t> reply(quor::USBIP_HEADER_SIZE + data_len +
                                   (descriptors ? WORKER_PACKETS * quor::USBIP_ISO_DESC_SIZE : 0));
        quor::make_iso_ret_header(req.data(), reply.data(), uint32_t(data_len));
        for (size_t i = 0; i < data_len; ++i) reply[quor::USBIP_HEADER_SIZE + i] = uint8_t(i);
        if (descriptors) {
            uint8_t* d = reply.data() + quor::USBIP_HEADER_SIZE + data_len;
            for (size_t i = 0; i < WORKER_PACKETS; ++i, d += quor::USBIP_ISO_DESC_SIZE) {
                put_le32(d, uint32_t(96 * i));
                put_le32(d + 4, 96);
                put_le32(d + 8, 96);
            }
        }
        bus.write_reply(reply.data(), reply.size());
    }
}

// What the host keeps of a request it sent, to check the answer.
struct Sent {
    uint32_t direction;
    uint32_t length;
};

// Reads what the device sent and checks every reply: it answers a request
// that was accepted and not answered yet, IN data fits the request's
// buffer, OUT replies carry none, and isochronous packets add up to the
// reply's actual_length.
void check_replies(int fd, std::vector<uint8_t>& rx, std::map<uint32_t, Sent>& sent) {
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT)) > 0)
        rx.insert(rx.end(), chunk, chunk + n);
    size_t at = 0;
    while (rx.size() - at >= quor::USBIP_HEADER_SIZE) {
        const uint8_t* h = rx.data() + at;
        size_t total = quor::USBIP_HEADER_SIZE;
        if (get_be32(h) == quor::USBIP_RET_SUBMIT) {
            const auto it = sent.find(get_be32(h + quor::USBIP_SEQNUM));
            if (it == sent.end()) abort();  // unknown, or answered twice
            const uint32_t actual = get_be32(h + quor::USBIP_LENGTH);
            const uint32_t packets = get_be32(h + quor::USBIP_PACKETS);
            const bool in = it->second.direction == quor::USBIP_DIR_IN;
            if (actual > it->second.length) abort();
            total += (in ? actual : 0) + size_t(packets) * quor::USBIP_ISO_DESC_SIZE;
            if (rx.size() - at < total) break;
            uint64_t sum = 0;
            const uint8_t* d = h + quor::USBIP_HEADER_SIZE + (in ? actual : 0);
            for (uint32_t i = 0; i < packets; ++i) sum += get_be32(d + 16 * i + 8);
            if (packets && sum != actual) abort();
            sent.erase(it);
        } else if (get_be32(h) != quor::USBIP_RET_UNLINK) {
            abort();
        }
        at += total;
    }
    rx.erase(rx.begin(), rx.begin() + long(at));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The diagnostic lines would slow every run down.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    quor::set_device_identity("Fuzz", 0x1234, 0x5678, 0x0100);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    const int big = 4 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    quor::SocketBus bus("unix:/nonexistent");
    bus.adopt_stream(sv[1]);
    bus.set_unlink_handler(quor::drop_queued_request);
    const int host = sv[0];
    fcntl(host, F_SETFL, O_NONBLOCK);
    // No class handlers: the stream and the queues are what is under test.
    quor::test::FakeController controller;
    quor::DeviceContext device{controller, {}};

    std::vector<uint8_t> buf(quor::READ_BUFFER_SIZE);
    std::vector<uint8_t> rx;
    std::map<uint32_t, Sent> requests;
    size_t sent = 0;
    for (;;) {
        if (sent < size) {
            const ssize_t n = send(host, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0) sent += size_t(n);
            if (sent == size) shutdown(host, SHUT_WR);
        } else if (size == 0) {
            shutdown(host, SHUT_WR);
        }
        const int n = bus.read_request(buf.data(), buf.size(), 0);
        if (n < 0) break;
        if (n > 0) {
            // Every earlier reply is in the socket by now: read them before
            // the host reuses a sequence number.
            check_replies(host, rx, requests);
            const uint32_t seqnum = get_be32(buf.data() + quor::USBIP_SEQNUM);
            requests[seqnum] = {get_be32(buf.data() + quor::USBIP_DIRECTION),
                                get_be32(buf.data() + quor::USBIP_LENGTH)};
            quor::process_dev_data(device, buf.data(), size_t(n), bus);
            bus.finish_request(seqnum);
            answer_queue(quor::g_dev.pb_queue, bus, 0, true);
            answer_queue(quor::g_dev.cp_queue, bus, WORKER_FRAME, true);
            answer_queue(quor::g_dev.intr_queue, bus, 3, false);
        }
        check_replies(host, rx, requests);
    }
    check_replies(host, rx, requests);
    quor::g_dev.pb_queue.clear();
    quor::g_dev.cp_queue.clear();
    quor::g_dev.intr_queue.clear();
    bus.close_device();
    close(host);
    return 0;
}
