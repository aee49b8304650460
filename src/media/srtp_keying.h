// The SRTP library's entry points as loaded, the call's context and the
// state of the outgoing stream, shared by the keying and the RTP session.
#pragma once

#include <cstdint>
#include <mutex>

#include "media/media_api.h"
#include "srtp_kit/srtp_kit.h"

namespace quor {

// Protect or unprotect in place with the current context; the caller holds
// g_media.lock. Non-zero on failure, also when there is no context.
int srtp_protect_locked(uint8_t* packet, int* len);
int srtp_unprotect_locked(uint8_t* packet, int* len);

// True once the library is loaded and its initialisation succeeded.
bool srtp_library_ready();

// Fills BUF with LEN bytes from the system's cryptographic random source.
int draw_random(uint8_t* buf, size_t len);

}  // namespace quor
