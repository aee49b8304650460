#include "soft_dev/dispatch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "platform/event.h"
#include "soft_dev/credentials.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/soft_dev_hooks.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/std_requests.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
enum Endpoint : uint32_t { EP_CONTROL = 0, EP_PLAYBACK = 1, EP_CAPTURE = 2, EP_INTERRUPT = 3 };
constexpr uint8_t RECIPIENT_INTERFACE_BIT = 0x01;
constexpr uint8_t RECIPIENT_ENDPOINT_BIT = 0x02;
constexpr uint8_t HID_INTERFACE = 3;

void call_handler(const SoftDevHooks::Handler& handler, DeviceContext& device, VirtualBus& bus,
                  uint8_t* req, size_t len) {
    if (handler) handler(device, bus, req, len);
}

// Routing looks at the recipient bits, so SET_INTERFACE and GET_DESCRIPTOR
// addressed to an interface reach the class handlers too. The other standard
// requests to an interface (GET_STATUS, GET_INTERFACE, ...) are none of
// theirs: they are answered as for any USB interface.
void route_control(DeviceContext& device, uint8_t* req, size_t len, VirtualBus& bus) {
    const uint8_t request_type = req[PDU_REQUEST_TYPE];
    if (request_type & RECIPIENT_INTERFACE_BIT) {
        if (is_standard_interface_request(req)) {
            process_standard_interface_requests(bus, req, len);
            return;
        }
        const SoftDevHooks& hooks = device.hooks;
        call_handler(
            req[PDU_INDEX_LOW] == HID_INTERFACE ? hooks.hid_requests : hooks.audio_requests, device,
            bus, req, len);
    } else if (request_type & RECIPIENT_ENDPOINT_BIT) {
        process_endpoint_requests(bus, req, len);
    } else {
        process_standard_device_requests(bus, req, len);
    }
}

// Where the text of a credential chunk lies in a request as it arrives
// (header words big-endian), so that the dump leaves it out: every byte
// after the report id and the request code of a report 3 with request code
// 5, whether it came as SET_REPORT on the control endpoint or as data on
// any other. Lync sends the password in such chunks, spread over as many
// reports as it needs. 0 when the request carries none.
size_t credential_text_start(const uint8_t* buf, size_t len) {
    constexpr size_t CODE_BYTE = PDU_DATA + 1;
    constexpr size_t TEXT_START = PDU_DATA + 2;
    if (len <= TEXT_START) return 0;
    if ((buf[CODE_BYTE] & LYNC_REQUEST_CODE_MASK) != LYNC_CREDENTIAL_CODE) return 0;
    const bool lync_report =
        get_be32(buf + USBIP_EP) == EP_CONTROL
            ? buf[PDU_REQUEST] == HID_SET_REPORT && buf[PDU_VALUE_LOW] == LYNC_REPORT_ID
            : buf[PDU_DATA] == LYNC_REPORT_ID;
    return lync_report ? TEXT_START : 0;
}

void queue_and_signal(RequestQueue& queue, const char* event_name, const uint8_t* req, size_t len) {
    queue.push(req, len);
    if (event_name) open_named_event(event_name, EventReset::AUTO)->set();
}
}  // namespace

int process_dev_data(DeviceContext& device, uint8_t* buf, size_t len, VirtualBus& bus) {
    QUOR_PACKET_RECORD("Rec Dev Pkg:\n");
    const size_t secret = credential_text_start(buf, len);
    log_hex_dump(3, buf, len, secret, secret ? len : 0);
    if (len < USBIP_HEADER_SIZE) {
        quor_log("DEV: request of %zu bytes dropped\n", len);
        return 0;
    }
    usbip_header_to_host(buf);
    switch (pdu_word(buf, USBIP_EP)) {
        case EP_CONTROL:
            route_control(device, buf, len, bus);
            break;
        case EP_PLAYBACK:
            queue_and_signal(g_dev.pb_queue, EVENT_PB_COMPLETE, buf, len);
            break;
        case EP_CAPTURE:
            queue_and_signal(g_dev.cp_queue, EVENT_CP_COMPLETE, buf, len);
            break;
        case EP_INTERRUPT:
            queue_and_signal(g_dev.intr_queue, nullptr, buf, len);
            break;
        default:
            quor_log("DEV: case def\n");
            break;
    }
    return 0;
}

void drop_queued_request(uint32_t seqnum) {
    if (!g_dev.pb_queue.remove(seqnum) && !g_dev.cp_queue.remove(seqnum))
        g_dev.intr_queue.remove(seqnum);
}

// How long the reader may leave requests in the bus before it reads them:
// while the streams' queues hold audio enough ahead of their workers, a
// request that comes in waits for the next read with others instead of
// waking the reader on its own (a Linux host resubmits a request at every
// completion, a thousand a second while recording). The wait never lets a
// queue run dry, and a control request waits no longer than MAX_READ_DEFER_MS.
namespace {
int64_t read_defer_ms() {
    constexpr uint64_t MAX_READ_DEFER_MS = 4;
    // Left in the queue when the deferred read comes: the time to read,
    // queue and reach the worker.
    constexpr uint64_t MARGIN_MS = 3;
    uint64_t ahead = UINT64_MAX;
    for (RequestQueue* q : {&g_dev.pb_queue, &g_dev.cp_queue})
        if (const uint64_t ms = q->queued_packets(); ms > 0) ahead = std::min(ahead, ms);
    if (ahead == UINT64_MAX || ahead <= MARGIN_MS) return 0;
    return int64_t(std::min(ahead - MARGIN_MS, MAX_READ_DEFER_MS));
}
}  // namespace

void softdev_io_loop(DeviceContext& device, VirtualBus& bus) {
    g_lync.volume_setting = 0;
    g_lync.mute_setting = 0;
    const EventHandle int_complete = open_named_event(EVENT_INT_COMPLETE, EventReset::AUTO);
    const EventHandle shutdown = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);
    Event* const events[] = {int_complete.get(), shutdown.get()};
    std::vector<uint8_t> buf(READ_BUFFER_SIZE);
    bool reading = true;
    for (;;) {
        // While requests come in, the events are only looked at between
        // reads; once the host is gone the loop just waits for the end.
        const int64_t defer = reading ? read_defer_ms() : 0;
        if (defer > 0) device.clock.sleep_ms(defer);
        const int fired = Event::wait_any(events, 2, reading ? 0 : READ_POLL_MS);
        if (fired == 1) {
            quor_log("DEV: Received SoftDevice Shutdown event.....\n");
            break;
        }
        if (fired == 0) quor_log("DEV: INT_COMPLETE signalled\n");
        if (!reading) continue;
        // Every request that is waiting, in one go; the first read waits
        // for one unless this read was deferred.
        int timeout_ms = defer > 0 ? 0 : READ_POLL_MS;
        for (;;) {
            memset(buf.data(), 0, buf.size());
            const int n = bus.read_request(buf.data(), buf.size(), timeout_ms);
            if (n > 0) {
                const uint32_t seqnum = get_be32(buf.data() + USBIP_SEQNUM);
                process_dev_data(device, buf.data(), size_t(n), bus);
                bus.finish_request(seqnum);
                timeout_ms = 0;
                continue;
            }
            if (n < 0) {
                quor_log("DEV: the USB host is gone, no more requests this attachment\n");
                reading = false;
                g_dev.usb_host_gone = 1;
            }
            break;
        }
    }
}

}  // namespace quor
