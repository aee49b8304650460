// The USB/IP server's operation handling: arbitrary descriptors to describe
// the exported device, and an arbitrary operation request arriving in
// pieces, answered as the server answers a client. Every answer is checked
// against the protocol: a reply only once the request is complete, version
// 1.1.1, a device list whose size matches its count and interfaces, and an
// import that succeeds only for an allowed, unheld, exported device.
//
// Input: one byte of flags (bit 0 exported, bit 1 held, bit 2 allowed, bits
// 3-7 the piece size), a byte N and N bytes of device descriptor, a 16-bit
// length M and M bytes of configuration descriptor, then the request.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/byte_order.h"
#include "platform/vbus_usbip_ops.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void check_answer(quor::UsbipOpOutcome outcome, const std::vector<uint8_t>& reply,
                  const quor::UsbipExportView& view) {
    using namespace quor;
    check(reply.size() >= USBIP_OP_HEADER_SIZE);
    check(get_be16(reply.data()) == USBIP_VERSION);
    const uint16_t code = get_be16(reply.data() + 2);
    const uint32_t status = get_be32(reply.data() + 4);
    check((code & USBIP_OP_REQUEST) == 0);
    switch (outcome) {
        case UsbipOpOutcome::IMPORTED:
            check(view.device && view.peer_allowed && !view.held);
            check(status == USBIP_ST_OK && code == USBIP_OP_REP_IMPORT);
            check(reply.size() == USBIP_OP_HEADER_SIZE + USBIP_DEVICE_RECORD_SIZE);
            break;
        case UsbipOpOutcome::REFUSED:
            check(status == USBIP_ST_NA && reply.size() == USBIP_OP_HEADER_SIZE);
            break;
        case UsbipOpOutcome::ANSWERED:
            if (code == USBIP_OP_REP_IMPORT) {
                check(status == USBIP_ST_NA && reply.size() == USBIP_OP_HEADER_SIZE);
            } else {
                check(code == USBIP_OP_REP_DEVLIST && status == USBIP_ST_OK);
                check(reply.size() >= USBIP_OP_HEADER_SIZE + 4);
                const uint32_t count = get_be32(reply.data() + USBIP_OP_HEADER_SIZE);
                check(count <= 1);
                check(count == 0 || (view.device && view.peer_allowed));
                const size_t each =
                    count ? USBIP_DEVICE_RECORD_SIZE +
                                USBIP_INTERFACE_RECORD_SIZE * view.device->interfaces.size()
                          : 0;
                check(reply.size() == USBIP_OP_HEADER_SIZE + 4 + each);
            }
            break;
        case UsbipOpOutcome::NEED_MORE:
            check(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quor;
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    const std::vector<uint8_t> dev = in.bytes(in.byte());
    const std::vector<uint8_t> cfg = in.bytes(in.u16());
    const std::vector<uint8_t> request = in.bytes(size);
    const size_t piece = (flags >> 3) + 1;

    UsbipDeviceInfo info;
    const char* why = nullptr;
    const bool described =
        usbip_describe_device(dev.data(), dev.size(), cfg.data(), cfg.size(), &info, &why) == 0;
    if (described) check(info.interfaces.size() == cfg[4]);
    UsbipExportView view;
    view.device = (flags & 1) && described ? &info : nullptr;
    view.held = flags & 2;
    view.peer_allowed = flags & 4;

    // The request arrives PIECE bytes at a time, as a client's segments.
    for (size_t have = 0;;) {
        std::vector<uint8_t> reply;
        size_t need = 0;
        const UsbipOpOutcome outcome =
            usbip_answer_op(request.data(), have, view, &reply, &need, &why);
        if (outcome != UsbipOpOutcome::NEED_MORE) {
            check_answer(outcome, reply, view);
            break;
        }
        check(reply.empty() && need > have && need <= USBIP_IMPORT_REQUEST_SIZE);
        if (have == request.size()) break;
        have = std::min(request.size(), have + piece);
    }
    return 0;
}
