// The call's media as the rest of the program sees it: the SRTP library
// loaded at start-up, the keys offered to and received from the phone, and
// the RTP session that carries the audio while a call stream is open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "srtp_kit/srtp_kit.h"

namespace quor {

// Text buffers of the two SDES crypto lines (127 characters and the NUL).
constexpr size_t CRYPTO_LINE_SIZE = 128;
// One 10 ms frame on the USB side: 480 samples of 16-bit PCM at 48 kHz.
constexpr size_t USB_FRAME_BYTES = 960;

// Error codes load_srtp_library reports: the library could not be loaded,
// or it lacks one of the entry points.
constexpr int SRTP_LOAD_NO_LIBRARY = 79;  // ELIBACC
constexpr int SRTP_LOAD_NO_ENTRY = 80;    // ELIBBAD

// ----------------------------------------------------------- SRTP keying

// Loads the SRTP library beside the executable and resolves its twelve
// entry points. 0, or -1 with *ERROR_CODE set to one of the codes above.
int load_srtp_library(int* error_code);
// The same for the library at PATH.
int load_srtp_library_at(const char* path, int* error_code);
// srtp_kit_init's result: negative on failure. -1 when nothing is loaded.
int init_srtp_library();

// The call's keys and SRTP context, shared by the keying, the RTP session
// and the device's streaming workers.
struct MediaKeys {
    // Our crypto line, "1 AES_CM_128_HMAC_SHA1_80 inline:" and 40 base64
    // characters, renewed by make_local_crypto for every offer.
    char local_crypto[CRYPTO_LINE_SIZE] = {};
    // The phone's crypto line as the last PHONE_MEDIA_OFFER carried it.
    char remote_crypto[CRYPTO_LINE_SIZE] = {};

    // Serialises the context's life and use: the workers protect and
    // unprotect under it, the control thread and the closers create and
    // destroy under it. libsrtp contexts are not safe for concurrent use, and
    // a context destroyed in the middle of a protect would be used after
    // being freed. The members below are guarded by it.
    std::mutex lock;
    srtp_kit_handle srtp_session = nullptr;
    uint32_t rtp_ssrc = 0;
    uint32_t rtp_packet_count = 0;
};

extern MediaKeys g_media;

// Draws a fresh 30-byte key and salt from the system's cryptographic random
// source into g_media.local_crypto. -1 (and the line left unchanged) when the
// source fails.
int make_local_crypto();

// Keeps REMOTE_CRYPTO (cut to 127 characters) in g_media.remote_crypto, draws a
// new outgoing SSRC, restarts the packet count and creates the SRTP context
// from both lines. 0 or -1.
int create_srtp_session(const char* remote_crypto);
// Destroys the context, if there is one.
void destroy_srtp_session();

// ------------------------------------------------------------ RTP session

// The RTP socket, -1 when closed.
extern std::atomic<int> g_rtp_socket;

// Binds a non-blocking UDP socket to LOCAL_PORT and aims it at REMOTE_ADDR
// (IPv4, host order) and REMOTE_PORT. 0, or -1 when the socket could not be
// made or bound (for example because one is already open on that port).
int open_rtp_socket(uint16_t local_port, uint16_t remote_port, uint32_t remote_addr);
// Closes the RTP socket if it is open.
void close_rtp_socket();

// Sends one 48 kHz frame (little-endian 16-bit samples) to the phone as a
// 16 kHz SRTP packet. Frames that cannot be sent are dropped. Returns 0.
int send_playback_audio(const uint8_t* frame, size_t len);
// Takes the datagrams waiting; those that authenticate as 10 ms packets
// queue in a short backlog (see frame_backlog.h). Writes the oldest as a
// 48 kHz frame of USB_FRAME_BYTES into DEST and returns 0; -1 when none
// waits.
int rtp_receive(uint8_t* dest);
// Drops every datagram waiting on the RTP socket and returns how many there
// were: audio that queued while nobody listened would otherwise delay all
// that follows by as long as it waited.
int rtp_discard_waiting();

}  // namespace quor
