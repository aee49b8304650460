// The call's receive path as the RTP targets drive it: the program's SRTP
// library loaded by the program's own loader, its context keyed with a
// fixed phone line, and the phone's end of the stream, which protects what a
// target sends with that line through the same library.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "media/media_api.h"
#include "media/rtp_session.h"
#include "media/srtp_keying.h"
#include "platform/byte_order.h"
#include "srtp_kit/srtp_kit.h"

namespace quor::fuzz {

inline constexpr char PHONE_LINE[] =
    "1 AES_CM_128_HMAC_SHA1_80 inline:Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";

class PhoneEnd {
  public:
    // Sends with LOCAL (the phone's line), receives with REMOTE (ours).
    PhoneEnd(const char* local, const char* remote) {
        srtp_kit_params params{};
        params.local_crypto = local;
        params.local_crypto_len = int32_t(strlen(local));
        params.remote_crypto = remote;
        params.remote_crypto_len = int32_t(strlen(remote));
        if (srtp_kit_create(&handle_, &params) != 0) abort();
    }
    ~PhoneEnd() { srtp_kit_destroy(handle_); }
    PhoneEnd(const PhoneEnd&) = delete;
    PhoneEnd& operator=(const PhoneEnd&) = delete;

    // PLAIN as the phone sends it, each SSRC a stream of its own; empty when
    // the library refuses it (no whole header, a sequence number it has
    // sent already).
    std::vector<uint8_t> protect(const std::vector<uint8_t>& plain) {
        if (plain.size() < RTP_HEADER_LEN) return {};
        const uint32_t ssrc = get_be32(plain.data() + 8);
        if (streams_.insert(ssrc).second && srtp_kit_add_stream(handle_, ssrc) != 0) abort();
        std::vector<uint8_t> wire(plain);
        wire.resize(plain.size() + SRTP_KIT_TRAILER_ROOM);
        int len = int(plain.size());
        if (srtp_kit_rtp_protect(handle_, wire.data(), &len) != 0) return {};
        wire.resize(size_t(len));
        return wire;
    }

  private:
    srtp_kit_handle handle_ = nullptr;
    std::set<uint32_t> streams_;
};

// Loads and starts the library once, with our key for the calls.
inline void load_media() {
    int code = 0;
    if (load_srtp_library_at(QUOR_SRTP_KIT_PATH, &code) != 0 || init_srtp_library() < 0 ||
        make_local_crypto() != 0)
        abort();
    // The library's cryptography back end unloads its modules when its last
    // context goes and loads them again for the next; a context kept for the
    // whole run spares every input that cost.
    static PhoneEnd kept_for_the_run(PHONE_LINE, g_media.local_crypto);
}

// A call as the phone's answer opens it: a new context for PHONE_LINE and an
// empty backlog.
inline void open_call() {
    if (create_srtp_session(PHONE_LINE) != 0) abort();
    rtp_discard_waiting();
}

// Hands WIRE to the program as a datagram from FROM; true when it kept the
// audio.
inline bool deliver(std::vector<uint8_t> wire, const Ipv4Endpoint& from) {
    std::lock_guard lk(g_media.lock);
    return take_rtp_datagram_locked(wire.data(), wire.size(), from);
}

// The oldest audio waiting, as the microphone gets it; false when none.
inline bool next_frame(uint8_t frame[USB_FRAME_BYTES]) {
    std::lock_guard lk(g_media.lock);
    return next_rtp_frame_locked(frame);
}

inline Ipv4Endpoint current_peer() {
    std::lock_guard lk(g_media.lock);
    return rtp_peer_locked();
}

}  // namespace quor::fuzz
