#include "link/pair_session.h"

#include <cstring>
#include <string>

#include "base/diag_log.h"
#include "link/addr_discovery.h"
#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "media/media_api.h"
#include "platform/byte_order.h"
#include "platform/net.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/gruu_store.h"

namespace quor {

std::atomic<int> g_pair_generation{0};

namespace {
constexpr int64_t RETRY_ADDRESS_MS = 1000;
constexpr int64_t END_IN_PAIRING_MS = 500;
constexpr size_t REMOTE_CRYPTO_SIZE = 128;

// One session's own record.
struct Session {
    Controller* controller;
    const SessionServices* services;
    int generation;
    uint32_t phone = 0;
    int fd = -1;
    char model[MODEL_NAME_SIZE] = {};
    uint16_t vid = 0;
    uint16_t pid = 0;

    bool superseded() const { return g_pair_generation.load() != generation; }
    int64_t pair_timeout_ms() const {
        return int64_t(controller->Settings().pair_timeout_s) * 1000;
    }
};

// Text payloads end with a NUL that the length counts; anything longer than
// the destination is cut.
void copy_text(char* dst, size_t dst_size, const CtrlFrame& f) {
    const size_t n = std::min<size_t>(f.len, dst_size - 1);
    memcpy(dst, f.payload, n);
    dst[n] = '\0';
}

// Waits in state 6 for the phone's address datagram; false when the user
// stopped the search.
bool find_address(Session& s) {
    Controller& ctl = *s.controller;
    quor_log("NETWORK: Need get IP.\n");
    begin_address_search();
    ctl.SetState(STATE_FINDING_ADDRESS);
    if (!ctl.IsMinimized() && ctl.Settings().auto_min == 1) ctl.PostMinimize();
    uint32_t addr = 0;
    while (get_phone_address(&addr) != 0) {
        if (s.superseded()) return false;
        if (ctl.State() != STATE_FINDING_ADDRESS) {
            quor_log("NETWORK: Need quit get ip 2.\n");
            return false;
        }
        ctl.clock().sleep_ms(RETRY_ADDRESS_MS);
    }
    if (s.superseded()) return false;
    if (ctl.State() != STATE_FINDING_ADDRESS) {
        quor_log("NETWORK: Need quit get ip.\n");
        return false;
    }
    quor_log("NETWORK: Get IP success.\n");
    ctl.SetAddress(addr);
    ctl.StartTimer(TIMER_PAIR, s.pair_timeout_ms());
    ctl.SetState(STATE_PAIRING);
    return true;
}

// Connects to the phone and makes the connection the channel. A session
// that a newer one has superseded (meanwhile, or during the connect) goes no
// further: it keeps its connection to itself and ends.
bool connect_phone(Session& s) {
    s.fd = tcp_connect(s.phone, CTRL_PORT);
    if (s.fd < 0) return false;
    if (!ctrl_channel_publish(s.fd, s.phone, s.generation)) return false;
    // The phone answers our media offers in order on this connection; none
    // of the offers made before it is outstanding here.
    forget_media_offers();
    return true;
}

int send_own(const Session& s, uint8_t type) {
    return send_frame(s.fd, type, nullptr, 0);
}

// The opening exchange up to PAIR_START; false ends the session.
bool open_pairing(Session& s) {
    if (!connect_phone(s)) return false;
    if (send_own(s, PAIR_QUERY) != 0) return false;
    CtrlFrame f;
    if (read_ctrl_frame(s.fd, &f) != 1 || f.type != PAIR_ANSWER) return false;
    // The answer may come long after a newer session took over the pairing
    // timer and the window.
    if (s.superseded()) return false;
    if (f.len == 4) {
        Controller& ctl = *s.controller;
        const bool newest = ctrl_channel_release(s.fd, s.generation);
        s.fd = -1;
        if (!newest) return false;
        ctl.StopTimer(TIMER_PAIR);
        if (!ctl.AskForceConnect(f.payload)) {
            if (!s.superseded()) ctl.disarm_repair();
            return false;
        }
        // The question may have waited while the pairing timed out and a
        // new one began.
        if (s.superseded()) return false;
        ctl.StartTimer(TIMER_PAIR, s.pair_timeout_ms());
        if (!connect_phone(s)) return false;
    }
    if (send_own(s, PAIR_START) != 0) return false;
    s.controller->ClearPendingMsg();
    return true;
}

// The answer opens the call's media only when it answers the newest offer
// and no MEDIA_STOP has followed; see claim_media_answer for the matching.
void on_phone_media_offer(Session& s, const CtrlFrame& f) {
    const uint64_t offer = claim_media_answer();
    if (offer == 0) return;
    if (f.len < 4) {
        quor_log("NETWORK: PHONE_MEDIA_OFFER of %u bytes has no port, ignored\n", unsigned(f.len));
        return;
    }
    const SessionServices& svc = *s.services;
    const uint16_t port = uint16_t(get_be32(f.payload) & 0xFFFF);
    if (svc.open_rtp_socket(RTP_LOCAL_PORT, port, s.phone) != 0) return;
    char crypto[REMOTE_CRYPTO_SIZE] = {};
    const size_t n = std::min<size_t>(
        strnlen(reinterpret_cast<const char*>(f.payload + 4), f.len - 4), sizeof(crypto) - 1);
    memcpy(crypto, f.payload + 4, n);
    if (svc.create_srtp_session(crypto) != 0) quor_log("NETWORK: RTP init failed!\n");
    explicit_bzero(crypto, sizeof(crypto));
    // A MEDIA_STOP sent while the media were being opened found nothing to
    // close: nobody else would close them, the RTP port would stay taken
    // and the next call's answer could not be used.
    if (!media_offer_open(offer)) {
        quor_log("NETWORK: MEDIA_OFFER stopped while its answer was taken, media closed\n");
        close_rtp_socket();
        destroy_srtp_session();
    }
}

// Acts on one message of the session loop; false ends the session.
bool handle_message(Session& s, const CtrlFrame& f) {
    Controller& ctl = *s.controller;
    const SessionServices& svc = *s.services;
    switch (f.type) {
        case SET_GRUU: {
            char gruu[256];
            copy_text(gruu, sizeof(gruu), f);
            svc.set_gruu(gruu);
            ctl.StartTimer(TIMER_GRUU, int64_t(ctl.Settings().resend_gruu_s) * 1000);
            break;
        }
        case SIGNED_IN:
            ctl.SetState(STATE_PAIRED_SIGNED_IN);
            break;
        case SIGNED_OUT:
            ctl.SetState(STATE_PAIRED_SIGNED_OUT);
            break;
        case SIGNIN_FAILED:
            g_lync.signin_failed_pending = 1;
            break;
        case SIGNIN_REQUEST:
            g_lync.signin_request_pending = 1;
            break;
        case MODEL_NAME:
            copy_text(s.model, sizeof(s.model), f);
            break;
        case VENDOR_ID:
            if (f.len >= 2) s.vid = get_be16(f.payload);
            break;
        case PRODUCT_ID:
            if (f.len >= 2) s.pid = get_be16(f.payload);
            break;
        case DEVICE_RELEASE: {
            if (f.len < 2) break;
            const uint16_t release = get_be16(f.payload);
            if (svc.set_device_identity(s.model, s.vid, s.pid, release) == 0 &&
                ctl.State() == STATE_PAIRING) {
                ctl.StopTimer(TIMER_PAIR);
                svc.start_device(ctl);
                s.vid = 0;
                s.pid = 0;
                s.model[0] = '\0';
            }
            break;
        }
        case UNPAIR:
            if (g_dev.stop == DEV_RUN) ctl.SetState(STATE_UNPAIRING);
            raise_dev_stop();
            send_own(s, UNPAIR_ACK);
            return false;
        case SIGNOUT_REQUEST:
            g_lync.signout_request_pending = 1;
            break;
        case TAKEN_OVER:
            if (f.len >= 4) ctl.SetTakenOverMsg(f.payload);
            break;
        case UNPAIR_ACK:
            raise_dev_stop();
            return false;
        case PHONE_MEDIA_OFFER:
            on_phone_media_offer(s, f);
            break;
        case HANG_UP:
            g_lync.hungup_pre_pending = 1;
            g_lync.hungup_pending = 1;
            quor_log("NETWORK: Get hungup pkg from network!\n");
            break;
        case KEEPALIVE_ACK:
            ctl.StartTimer(TIMER_LINK, int64_t(ctl.Settings().link_watchdog_s) * 1000);
            break;
        default:
            break;
    }
    return true;
}

// A superseded session only closes its own connection; the newest also
// takes the channel down and ends the pairing's state.
void end_session(Session& s) {
    const bool newest = ctrl_channel_release(s.fd, s.generation);
    s.fd = -1;
    if (!newest) return;
    Controller& ctl = *s.controller;
    const unsigned state = ctl.State();
    if (state == STATE_PAIRING) ctl.StartTimer(TIMER_PAIR, END_IN_PAIRING_MS);
    if (state == STATE_PAIRED_SIGNED_OUT || state == STATE_PAIRED_SIGNED_IN) {
        // The state first, as every stop request does: a device thread that
        // is just starting clears the previous pairing's stop only while
        // its pairing goes on, and must find this one ended.
        ctl.SetState(STATE_UNPAIRING);
        raise_dev_stop();
    }
}

// Acts on each frame that NEXT_FRAME yields until it yields none (the
// stream ended or failed), a message ends the pairing, or a newer session
// has taken over: what the phone sends on an older connection no longer
// concerns the window, the device or the call.
template <typename NextFrame>
void serve_frames(Session& s, NextFrame next_frame) {
    CtrlFrame f;
    while (next_frame(&f) && !s.superseded()) {
        const bool go_on = handle_message(s, f);
        // The phone's crypto line leaves no copy in the frame buffer.
        explicit_bzero(f.payload, f.len);
        if (!go_on) break;
    }
}

// The phone's messages as they arrive on the session's connection.
void serve_phone_messages(Session& s) {
    serve_frames(s, [&s](CtrlFrame* f) { return read_ctrl_frame(s.fd, f) == 1; });
}
}  // namespace

void serve_phone_messages(Controller& controller, const SessionServices& services, int fd,
                          uint32_t phone) {
    Session s{&controller, &services, g_pair_generation.load(), phone, fd};
    serve_phone_messages(s);
}

void serve_phone_bytes(Controller& controller, const SessionServices& services, const uint8_t* data,
                       size_t size, uint32_t phone) {
    Session s{&controller, &services, g_pair_generation.load(), phone};
    CtrlFramer framer;
    size_t used = 0;
    serve_frames(s, [&](CtrlFrame* f) {
        while (!framer.next(f)) {
            if (used == size) return false;
            used += framer.feed(data + used, size - used);
        }
        return true;
    });
}

int pair_session_thread(Controller& controller, SessionServices services) {
    Session s{&controller, &services, ++g_pair_generation};
    bool run = true;
    if (controller.Settings().auto_ip == 1) run = find_address(s);
    if (run && (s.superseded() || controller.GetAddress(&s.phone) == 0)) run = false;
    const bool paired = run && open_pairing(s);
    if (paired) {
        if (services.phone_paired) services.phone_paired(s.phone);
        serve_phone_messages(s);
    }
    end_session(s);
    // A newer session has put its own phone's rules in place already.
    if (paired && !s.superseded() && services.pairing_ended) services.pairing_ended();
    return s.superseded() ? 0 : 1;
}

}  // namespace quor
