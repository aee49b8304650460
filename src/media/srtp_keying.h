// The SRTP library's entry points as loaded, the call's context and the
// state of the outgoing stream, shared by the keying and the RTP session.
#pragma once

#include <cstdint>
#include <mutex>

#include "media/media_api.h"
#include "srtp_kit/srtp_kit.h"

namespace quor {

// Serialises the context's life and use: the workers protect and unprotect
// under it, the control thread and the closers create and destroy under it.
// libsrtp contexts are not safe for concurrent use, and a context destroyed
// in the middle of a protect would be used after being freed.
extern std::mutex g_media_lock;

// Guarded by g_media_lock.
extern srtp_kit_handle g_srtp_session;
extern uint32_t g_rtp_ssrc;
extern uint32_t g_rtp_packet_count;

// Protect or unprotect in place with the current context; the caller holds
// g_media_lock. Non-zero on failure, also when there is no context.
int srtp_protect_locked(uint8_t* packet, int* len);
int srtp_unprotect_locked(uint8_t* packet, int* len);

// True once the library is loaded and its initialisation succeeded.
bool srtp_library_ready();

// Fills BUF with LEN bytes from the system's cryptographic random source.
int draw_random(uint8_t* buf, size_t len);

}  // namespace quor
