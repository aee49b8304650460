#include "soft_dev/hid_requests.h"

#include <algorithm>
#include <cstring>

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/call_texts.h"
#include "soft_dev/class_reply.h"
#include "soft_dev/credentials.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/gbk_log.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/phone_msgs.h"
#include "soft_dev/phone_sender.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
constexpr char HANDLER[] = "process_hid_class_specific_requests";

enum HidRequest : uint8_t {
    GET_REPORT = 0x01,
    GET_DESCRIPTOR = 0x06,
    SET_REPORT = HID_SET_REPORT,
};
enum HidDescriptorType : uint8_t { DESC_HID = 0x21, DESC_REPORT = 0x22, DESC_PHYSICAL = 0x23 };
enum ReportId : uint8_t {
    REPORT_LYNC = LYNC_REPORT_ID,
    REPORT_DIALOG = 0x06,
    FEATURE_0x11 = 0x11,
    FEATURE_0x12 = 0x12,
    REPORT_0x13 = 0x13,
    REPORT_SELECT_TEXT = 0x14,
    REPORT_TEXT_PIECE = 0x15,
    REPORT_STATUS = 0x16,
};
enum LyncRequest : uint8_t {
    LYNC_POLL = 1,
    LYNC_DISMISS_HELP = 4,
    LYNC_CREDENTIAL = LYNC_CREDENTIAL_CODE,
    LYNC_SIGN_OUT = 7,
};

constexpr uint8_t FEATURE_0x11_BLOCK[] = {0x11, 0x5E, 0x04, 0x02, 0x00};
constexpr uint8_t FEATURE_0x12_BLOCK[] = {0x12, 0x02, 0x48, 0x20, 0x08};
constexpr uint8_t LYNC_ACK_HEAD[] = {0x04, 0xC1, 0x02, 0x00};

// Sizes of the fixed-layout output reports, the report id included.
constexpr size_t DIALOG_REPORT_SIZE = 2;
constexpr size_t SELECT_REPORT_SIZE = 3;
constexpr size_t STATUS_REPORT_SIZE = 3;

// Only the bus reader thread touches the credentials.
CredentialAssembler g_credentials;

int reply(VirtualBus& bus, const uint8_t* req, ReplyHeader header, const uint8_t* data, size_t n) {
    SEND_CLASS_REPLY(bus, req, header, data, n, HANDLER);
    return 0;
}

// The report's data stage in OUT, zero past what the host sent; a short
// report is logged.
void read_report(const uint8_t* req, size_t len, uint8_t* out, size_t size) {
    const size_t got = copy_request_data(req, len, out, size);
    if (got < size)
        quor_log("HIDDEV: report 0x%02x carries %zu of its %zu bytes\n", req[PDU_VALUE_LOW], got,
                 size);
}

void send_text(uint8_t type, const char* text) {
    phone_sender().send_frame(type, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

void credentials_complete() {
    quor_log("HIDDEV: Domain %s \n", log_text(g_credentials.slot(SLOT_DOMAIN)).c_str());
    quor_log("HIDDEV: UserName %s \n", log_text(g_credentials.slot(SLOT_USER_NAME)).c_str());
    quor_log("HIDDEV: Password ******** \n");
    send_text(DOMAIN, g_credentials.slot(SLOT_DOMAIN));
    send_text(USER_NAME, g_credentials.slot(SLOT_USER_NAME));
    send_text(PASSWORD, g_credentials.slot(SLOT_PASSWORD));
    g_credentials.wipe_slots();
}

void lync_request(Controller& controller, const uint8_t report[LYNC_REPORT_SIZE]) {
    switch (report[1] & LYNC_REQUEST_CODE_MASK) {
        case LYNC_POLL:
            controller.StartTimer(TIMER_HT, HID_SEND_WINDOW_MS);
            g_lync.hid_send_window = 1;
            // While the GRUU goes out its pieces answer the polls.
            if (!gruu_transfer_armed()) g_lync.ack_report_pending = 1;
            break;
        case LYNC_DISMISS_HELP:
            quor_log("HIDDEV: Send Socket 3! Dismiss signin Help\n");
            quor_log("%s", gbk_line(GbkLine::DISMISSED));
            phone_sender().send_byte(DISMISS_SIGNIN_HELP);
            break;
        case LYNC_CREDENTIAL:
            quor_log("HIDDEV: 4 Credentials\n");
            if (g_credentials.take_chunk(report)) credentials_complete();
            quor_log("%s", gbk_line(GbkLine::CREDENTIALS_DONE));
            break;
        case LYNC_SIGN_OUT:
            quor_log("%s", gbk_line(GbkLine::SIGN_OUT));
            break;
        default:
            quor_log("HIDDEV: Not Lync request!\n");
            break;
    }
}

void call_dialog(Controller& controller, uint8_t in_progress) {
    if (in_progress == 1 && !g_lync.dialog_active) {
        quor_log("HIDDEV: Dlg now\n");
        if (controller.State() == STATE_PAIRED_SIGNED_IN && !g_lync.srtp_stream_active) {
            if (g_lync.invite_on_dialog == 1)
                open_call_stream("HIDDEV: Invite to create srtp stream\n");
            clear_call_texts();
        }
        g_lync.dialog_active = 1;
    } else if (in_progress == 0 && g_lync.dialog_active) {
        quor_log("HIDDEV: End Dlg now\n");
        if (controller.Settings().as_nm_dev == 0 && g_lync.srtp_stream_active) {
            quor_log("HIDDEV: Close srtp stream\n");
            send_srtp_close();
        }
        g_lync.dialog_active = 0;
    }
}

void lync_status(const uint8_t report[STATUS_REPORT_SIZE]) {
    const uint16_t word = get_le16(report + 1);
    const uint16_t previous = g_lync.lync_status_word;
    if (word == previous) return;
    if (word == 0) {
        quor_log("HIDDEV: Lync Logout\n");
        phone_sender().send_byte(LYNC_LOGOUT);
    } else if (previous == 0) {
        quor_log("HIDDEV: Lync Online\n");
        phone_sender().send_byte(LYNC_ONLINE);
    }
    g_lync.lync_status_word = word;
}

int set_report(Controller& controller, VirtualBus& bus, const uint8_t* req, size_t len) {
    const uint8_t id = req[PDU_VALUE_LOW];
    switch (id) {
        case REPORT_LYNC: {
            uint8_t report[LYNC_REPORT_SIZE];
            read_report(req, len, report, sizeof(report));
            lync_request(controller, report);
            explicit_bzero(report, sizeof(report));  // may hold a piece of the password
            uint8_t ack[LYNC_REPORT_SIZE] = {};
            memcpy(ack, LYNC_ACK_HEAD, sizeof(LYNC_ACK_HEAD));
            return reply(bus, req, ReplyHeader::ECHO, ack, sizeof(ack));
        }
        case REPORT_DIALOG: {
            uint8_t report[DIALOG_REPORT_SIZE];
            read_report(req, len, report, sizeof(report));
            call_dialog(controller, report[1]);
            break;
        }
        case REPORT_0x13:
            break;
        case REPORT_SELECT_TEXT: {
            uint8_t report[SELECT_REPORT_SIZE];
            read_report(req, len, report, sizeof(report));
            select_call_text(report);
            break;
        }
        case REPORT_TEXT_PIECE: {
            const uint16_t w_length = get_le16(req + PDU_LENGTH_LOW);
            const size_t n = std::min<size_t>(w_length, request_data_len(req, len));
            take_call_text_piece(req + PDU_DATA, n);
            break;
        }
        case REPORT_STATUS: {
            uint8_t report[STATUS_REPORT_SIZE];
            read_report(req, len, report, sizeof(report));
            lync_status(report);
            break;
        }
        default:
            quor_log("HIDDEV: What's precdata[2] %d!\n", id);
            quor_log("HIDDEV: YET TO HANDLE THIS CLASS !!!!!!!!!!!!!!!!!!!!!\n");
            return -1;
    }
    return reply(bus, req, ReplyHeader::CONTROL, FEATURE_0x12_BLOCK, sizeof(FEATURE_0x12_BLOCK));
}

int get_report(VirtualBus& bus, const uint8_t* req) {
    switch (req[PDU_VALUE_LOW]) {
        case FEATURE_0x11:
            return reply(bus, req, ReplyHeader::CONTROL, FEATURE_0x11_BLOCK,
                         sizeof(FEATURE_0x11_BLOCK));
        case FEATURE_0x12:
            return reply(bus, req, ReplyHeader::CONTROL, FEATURE_0x12_BLOCK,
                         sizeof(FEATURE_0x12_BLOCK));
        default:
            quor_log("HIDDEV: GET_REPORT of report 0x%02x not served\n", req[PDU_VALUE_LOW]);
            return -1;
    }
}

int get_descriptor(VirtualBus& bus, const uint8_t* req) {
    static_assert(HID_REPORT_DESCRIPTOR_SIZE <= MAX_REPLY_DATA, "the report descriptor goes whole");
    switch (req[PDU_VALUE_HIGH]) {
        case DESC_REPORT:
            reply(bus, req, ReplyHeader::CONTROL, HID_REPORT_DESCRIPTOR,
                  sizeof(HID_REPORT_DESCRIPTOR));
            quor_log("HIDDEV: Paired..\n");
            return 0;
        case DESC_HID:
            quor_log("HIDDEV: HID Descriptor\n");
            return -1;
        case DESC_PHYSICAL:
            quor_log("HIDDEV: HID Physical Descriptor\n");
            return -1;
        default:
            quor_log("HIDDEV: Unsupported Descriptor\n");
            return -1;
    }
}
}  // namespace

int process_hid_class_specific_requests(Controller& controller, VirtualBus& bus, const uint8_t* req,
                                        size_t len) {
    switch (req[PDU_REQUEST]) {
        case GET_REPORT:
            return get_report(bus, req);
        case GET_DESCRIPTOR:
            return get_descriptor(bus, req);
        case SET_REPORT:
            return set_report(controller, bus, req, len);
        default:
            return reply(bus, req, ReplyHeader::CONTROL, nullptr, 0);  // SET_IDLE and the rest
    }
}

void close_hid_send_window() {
    g_lync.hid_send_window = 0;
}

}  // namespace quor
