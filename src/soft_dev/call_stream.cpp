#include "soft_dev/call_stream.h"

#include <cstring>
#include <mutex>

#include "base/diag_log.h"
#include "media/media_api.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/phone_msgs.h"
#include "soft_dev/phone_sender.h"

namespace quor {

namespace {
// Held from an offer's or a stop's entry in the ledger until the message
// has been sent, so the ledger lists them in the order the phone gets them
// (offers come from the bus reader, stops also from the UI thread).
std::mutex g_offer_send_mu;
// Guards the ledger, held briefly: the control-channel thread never waits
// for a send.
std::mutex g_ledger_mu;
// Offer numbers never repeat; a new connection counts its offers as
// answered.
uint64_t g_offers_sent = 0;
uint64_t g_offers_answered = 0;
// No stop (or end of the call) has followed the newest offer.
bool g_newest_open = false;

void withdraw_newest_offer() {
    std::lock_guard lk(g_ledger_mu);
    g_newest_open = false;
}
}  // namespace

int send_srtp_invite() {
    g_lync.sel12_capture_pending = 1;
    if (make_local_crypto() != 0) {
        quor_log("HIDDEV: no key for the call stream, MEDIA_OFFER not sent\n");
        return -1;
    }
    uint8_t payload[MEDIA_OFFER_LEN];
    build_media_offer(RTP_LOCAL_PORT, g_media.local_crypto, payload);
    std::lock_guard order(g_offer_send_mu);
    {
        // Entered before it leaves: the answer may be read at once.
        std::lock_guard lk(g_ledger_mu);
        ++g_offers_sent;
        g_newest_open = true;
    }
    phone_sender().send_frame(MEDIA_OFFER, payload, sizeof(payload));
    explicit_bzero(payload, sizeof(payload));
    return 0;
}

int send_srtp_close() {
    {
        std::lock_guard order(g_offer_send_mu);
        withdraw_newest_offer();
        phone_sender().send_byte(MEDIA_STOP);
    }
    release_call_stream();
    return 0;
}

void release_call_stream() {
    // Withdrawn before the media close: an answer being taken at this
    // moment either finds it withdrawn when it checks again, or opened its
    // media before and they are closed here.
    withdraw_newest_offer();
    close_rtp_socket();
    destroy_srtp_session();
    g_lync.srtp_stream_active = 0;
}

int open_call_stream(const char* log_line) {
    // Open before the offer leaves, as the stream is from then on: a stop
    // decided meanwhile on another thread (the media-idle timer) must see
    // it.
    g_lync.srtp_stream_active = 1;
    if (send_srtp_invite() != 0) {
        g_lync.srtp_stream_active = 0;
        return -1;
    }
    quor_log("%s", log_line);
    return 0;
}

uint64_t claim_media_answer() {
    std::lock_guard lk(g_ledger_mu);
    if (g_offers_answered == g_offers_sent) {
        quor_log("NETWORK: PHONE_MEDIA_OFFER answers no MEDIA_OFFER of ours, ignored\n");
        return 0;
    }
    const uint64_t offer = ++g_offers_answered;
    if (offer != g_offers_sent || !g_newest_open) {
        quor_log("NETWORK: PHONE_MEDIA_OFFER answers a MEDIA_OFFER %s since, ignored\n",
                 offer != g_offers_sent ? "followed by a newer one" : "stopped");
        return 0;
    }
    return offer;
}

bool media_offer_open(uint64_t offer) {
    std::lock_guard lk(g_ledger_mu);
    return offer != 0 && offer == g_offers_sent && g_newest_open;
}

void forget_media_offers() {
    std::lock_guard lk(g_ledger_mu);
    g_offers_answered = g_offers_sent;
    g_newest_open = false;
}

}  // namespace quor
