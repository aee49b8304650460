// C interface of the SRTP library that the program loads at run time
// (libquor_srtp_kit.so beside the executable). The program resolves the
// twelve entry points below by name; any library offering them with these
// arguments and results can take this one's place.
//
// Keys come as SDES crypto lines: a tag, the suite AES_CM_128_HMAC_SHA1_80
// and "inline:" with 40 base64 characters of master key (16 bytes) and salt
// (14 bytes), optionally followed by "|" and a key lifetime. The local line
// keys what we send, the remote line what we receive.
//
// Calls on one handle must not overlap; separate handles are independent.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Room that rtp_protect needs after the packet for the authentication tag
// (rtcp_protect needs 4 bytes more).
#define SRTP_KIT_TRAILER_ROOM 144

typedef struct srtp_kit_session* srtp_kit_handle;

typedef void (*srtp_kit_log_fn)(const char* fmt, ...);

typedef struct srtp_kit_log_config {
    int32_t level;  // 0 errors, 1 warnings, 2 information, 3 debugging
    srtp_kit_log_fn log;
} srtp_kit_log_config;

typedef struct srtp_kit_params {
    const char* remote_crypto;
    int32_t remote_crypto_len;  // characters, without a terminator
    int32_t reserved0;
    const char* local_crypto;
    int32_t local_crypto_len;
    int32_t reserved1;
    uint8_t reserved[40];  // zero
} srtp_kit_params;

// Results: 0 success; a negative value (init, create, add_stream,
// del_stream) or a non-zero value (protect, unprotect) on failure.
int srtp_kit_init(const srtp_kit_log_config* config);
int srtp_kit_exit(void);
const char* srtp_version(void);
const char* srtp_build(void);

// Makes a context that receives with the remote key. *HANDLE is set only on
// success.
int srtp_kit_create(srtp_kit_handle* handle, const srtp_kit_params* params);
void srtp_kit_destroy(srtp_kit_handle handle);
// Adds (removes) the outgoing stream SSRC, sent with the local key.
int srtp_kit_add_stream(srtp_kit_handle handle, uint32_t ssrc);
int srtp_kit_del_stream(srtp_kit_handle handle, uint32_t ssrc);

// In place: *LEN is the plain length on entry and the protected length on
// return (and the other way round for unprotect).
int srtp_kit_rtp_protect(srtp_kit_handle handle, void* packet, int* len);
int srtp_kit_rtp_unprotect(srtp_kit_handle handle, void* packet, int* len);
int srtp_kit_rtcp_protect(srtp_kit_handle handle, void* packet, int* len);
int srtp_kit_rtcp_unprotect(srtp_kit_handle handle, void* packet, int* len);

#ifdef __cplusplus
}
#endif
