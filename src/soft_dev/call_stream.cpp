#include "soft_dev/call_stream.h"

#include <cstring>

#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "link/pair_session.h"
#include "media/media_api.h"
#include "shell/diag_log.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"

namespace quor {

int send_srtp_invite() {
    sel12_capture_pending = 1;
    if (make_local_crypto() != 0) {
        quor_log("HIDDEV: no key for the call stream, MEDIA_OFFER not sent\n");
        return -1;
    }
    uint8_t payload[MEDIA_OFFER_LEN];
    build_media_offer(RTP_LOCAL_PORT, g_local_crypto, payload);
    send_ctrl_frame(MEDIA_OFFER, payload, sizeof(payload));
    explicit_bzero(payload, sizeof(payload));
    return 0;
}

int send_srtp_close() {
    send_ctrl_byte(MEDIA_STOP);
    release_call_stream();
    return 0;
}

void release_call_stream() {
    close_rtp_socket();
    destroy_srtp_session();
    srtp_stream_active = 0;
}

int open_call_stream(const char* log_line) {
    // Open before the offer leaves: the phone's answer is taken on the
    // control-channel thread, which ignores answers to a closed stream and
    // may get there before this thread runs on.
    srtp_stream_active = 1;
    if (send_srtp_invite() != 0) {
        srtp_stream_active = 0;
        return -1;
    }
    quor_log("%s", log_line);
    return 0;
}

}  // namespace quor
