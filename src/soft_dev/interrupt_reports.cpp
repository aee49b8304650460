#include "soft_dev/interrupt_reports.h"

#include <atomic>
#include <cstring>

#include "base/diag_log.h"
#include "soft_dev/class_reply.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"

namespace quor {

namespace {
constexpr size_t VENDOR_REPORT_SIZE = 33;
constexpr size_t TELEPHONY_REPORT_SIZE = 3;

struct FlagReport {
    InterruptReport kind;
    std::atomic<int>* flag;
    const char* log_line;  // null: the report is not logged
    size_t size;
    uint8_t head[6];  // leading bytes; the rest of the report is zero
};

// In priority order.
const FlagReport FLAG_REPORTS[] = {
    {InterruptReport::SIGNOUT_REQUEST,
     &g_lync.signout_request_pending,
     "HID MSG: signout_request\n",
     VENDOR_REPORT_SIZE,
     {0x04, 0xC2}},
    {InterruptReport::HUNGUP_PRE,
     &g_lync.hungup_pre_pending,
     "HID MSG: hungup_pre\n",
     TELEPHONY_REPORT_SIZE,
     {0x01, 0x00, 0x00}},
    {InterruptReport::HUNGUP,
     &g_lync.hungup_pending,
     "HID MSG: hungup\n",
     TELEPHONY_REPORT_SIZE,
     {0x01, 0x03, 0x00}},
    {InterruptReport::ACKNOWLEDGE,
     &g_lync.ack_report_pending,
     nullptr,
     VENDOR_REPORT_SIZE,
     {0x04, 0xC1, 0x02, 0x00}},
    {InterruptReport::SIGNIN_FAILED,
     &g_lync.signin_failed_pending,
     "HID MSG: signin_failed\n",
     VENDOR_REPORT_SIZE,
     {0x04, 0xC3, 0x04, 0x00, 0x05, 0x40}},
    {InterruptReport::SIGNIN_REQUEST,
     &g_lync.signin_request_pending,
     "HID MSG: signin_request\n",
     VENDOR_REPORT_SIZE,
     {0x04, 0xC3, 0x04, 0x00}},
};

const FlagReport* raised_flag_report() {
    for (const FlagReport& r : FLAG_REPORTS)
        if (*r.flag != 0) return &r;
    return nullptr;
}

int write_answer(VirtualBus& bus, const std::vector<uint8_t>& req, const uint8_t* data, size_t n) {
    return SEND_CLASS_REPLY(bus, req.data(), ReplyHeader::ECHO, data, n, "interrupt_ep_thread");
}
}  // namespace

InterruptReport choose_interrupt_report() {
    if (const FlagReport* r = raised_flag_report()) return r->kind;
    return gruu_transfer_armed() ? InterruptReport::GRUU_PIECE : InterruptReport::NOTHING;
}

InterruptReport answer_interrupt_request(VirtualBus& bus, const std::vector<uint8_t>& req) {
    if (const FlagReport* r = raised_flag_report()) {
        uint8_t report[VENDOR_REPORT_SIZE] = {};
        memcpy(report, r->head, sizeof(r->head));
        if (r->log_line) quor_log("%s", r->log_line);
        if (write_answer(bus, req, report, r->size) == 0) *r->flag = 0;
        return r->kind;
    }
    GruuPiece piece;
    if (next_gruu_piece(&piece)) {
        if (write_answer(bus, req, piece.report, sizeof(piece.report)) == 0)
            commit_gruu_piece(piece);
        return InterruptReport::GRUU_PIECE;
    }
    write_answer(bus, req, nullptr, 0);
    return InterruptReport::NOTHING;
}

int interrupt_ep_thread(Clock& clock, VirtualBus& bus) {
    g_dev.intr_thread_alive = 1;
    std::vector<uint8_t> req;
    while (g_dev.stop == DEV_RUN) {
        if (g_lync.hid_send_window == 1 && g_dev.intr_queue.pop(&req))
            answer_interrupt_request(bus, req);
        clock.sleep_ms(INTERRUPT_PACE_MS);
    }
    g_dev.intr_queue.clear();
    g_dev.intr_thread_alive = 0;
    return 1;
}

}  // namespace quor
