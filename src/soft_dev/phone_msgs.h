// The vocabulary of the control channel that the device and the channel
// share: the message type codes of both directions and the layouts of the
// payloads that the device builds (MEDIA_OFFER, DISPLAY_NAME). The frame
// codec and the socket side live with the channel (link/ctrl_frame.h), which
// includes this header, so the device speaks the channel's language without
// depending on it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MEDIA_OFFER_LEN = 132;
constexpr size_t MEDIA_CRYPTO_FIELD_LEN = 128;
constexpr size_t DISPLAY_NAME_MAX = 64;  // payload bytes, the NUL included

// Message types of both directions. UNPAIR and UNPAIR_ACK have the same code
// whichever side sends them.
enum CtrlMsgType : uint8_t {
    // program -> phone
    USER_NAME = 17,
    PASSWORD = 18,
    DOMAIN = 20,
    DISMISS_SIGNIN_HELP = 21,
    PAIR_START = 22,
    LYNC_ONLINE = 23,
    LYNC_LOGOUT = 24,
    PAIR_QUERY = 25,
    LOG_ROUTE = 27,
    MEDIA_OFFER = 64,
    MEDIA_STOP = 65,
    DISPLAY_NAME = 66,
    KEEPALIVE = 96,
    // phone -> program
    SET_GRUU = 33,
    SIGNED_IN = 34,
    SIGNED_OUT = 35,
    SIGNIN_FAILED = 36,
    SIGNIN_REQUEST = 37,
    MODEL_NAME = 38,
    VENDOR_ID = 39,
    PRODUCT_ID = 40,
    DEVICE_RELEASE = 41,
    SIGNOUT_REQUEST = 43,
    PAIR_ANSWER = 44,
    TAKEN_OVER = 45,
    PHONE_MEDIA_OFFER = 80,
    HANG_UP = 81,
    KEEPALIVE_ACK = 97,
    // both directions
    UNPAIR = 42,
    UNPAIR_ACK = 58,
};

// MEDIA_OFFER payload: the RTP port as 32 bits, then the crypto line and its
// NUL in a zero-filled 128-byte field; a longer line is cut to 127 characters.
void build_media_offer(uint16_t port, const char* crypto_line, uint8_t out[MEDIA_OFFER_LEN]);

// DISPLAY_NAME payload: the UTF-8 name and its NUL, at most 64 bytes. A longer
// name is cut to 63 bytes, moved back to the start of a character that the cut
// would split, so the phone never gets a broken UTF-8 sequence. OUT holds
// DISPLAY_NAME_MAX bytes; *LEN receives the payload length.
void build_display_name(const char* utf8, uint8_t* out, size_t* len);

namespace quor {
// The local RTP port that MEDIA_OFFER names and the call's socket binds.
constexpr uint16_t RTP_LOCAL_PORT = 18747;
}  // namespace quor
