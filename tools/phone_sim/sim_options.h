// Command line of quor-phone-sim and the small text parsers that the command
// line and the standard-input commands share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The phone's call audio (see sim_media.h).
struct SimMediaOptions {
    uint16_t port = 18800;      // the phone's RTP port
    double tone_hz = 0;         // 0: no tone
    double level_dbfs = -12.0;  // of the tone
    bool burst = false;         // tone on for 200 ms, off for 300 ms
    bool echo = false;          // send back what arrives instead of a tone
    std::string record_path;    // WAV of what arrives (16 kHz); empty: none
    // The media clock runs this many parts per million fast (negative:
    // slow) against CLOCK_MONOTONIC: it paces what is sent and, through a
    // playout buffer, what is heard. Without the option arrivals are heard
    // as they come.
    bool skewed_clock = false;
    double clock_skew_ppm = 0;
    // The low bit of the first 32 samples of each packet sent carries its
    // number (16 bits, then the same bits inverted), so a recording of the
    // far end shows which packets it played, skipped or repeated.
    bool frame_marks = false;
};

// Largest skew --clock-skew-ppm takes, either way (20 %).
constexpr double SIM_MAX_SKEW_PPM = 200000;

struct SimOptions {
    uint16_t port = 7063;
    std::string transcript_path;  // empty: transcript on standard output only
    bool held = false;            // answer PAIR_QUERY with held_by
    uint32_t held_by = 0;         // host order, first octet most significant
    bool held_once = false;       // only the first PAIR_QUERY gets held_by
    std::string model = "Q55";
    uint16_t vid = 0x2f1c;
    uint16_t pid = 0x0455;
    uint16_t release = 0x0214;
    bool identity = true;  // answer PAIR_START with the identity
    // Drop the connection after this many of the four identity frames
    // (0 to 4); -1: never.
    int identity_drop_after = -1;
    bool sign_in = false;  // SIGNED_IN right after the identity
    bool keepalive_answer = true;
    bool answer_media_twice = false;  // every PHONE_MEDIA_OFFER goes out twice
    SimMediaOptions media;
};

// Longest model name: the text and its NUL fill one 255-byte payload.
constexpr size_t SIM_MODEL_MAX = 254;
// The identity: MODEL_NAME, VENDOR_ID, PRODUCT_ID, DEVICE_RELEASE.
constexpr int SIM_IDENTITY_FRAMES = 4;

// Parses the command line. Returns 0 to run, 1 when --help was shown, -1 on a
// bad option (a message was written to standard error).
int parse_sim_options(int argc, char** argv, SimOptions* opt);

// "A.B.C.D" into host order. 0 on success, -1 otherwise.
int parse_ipv4(const char* text, uint32_t* addr);

// A 16-bit number, decimal or 0x-prefixed hex. 0 on success, -1 otherwise.
int parse_u16(const char* text, uint16_t* value);

// Hex bytes, pairs optionally separated by blanks ("2C 04 C0A8"). Returns the
// byte count, or -1 for a bad digit, an odd digit count, or more than
// OUT_SIZE bytes.
int parse_hex_bytes(const char* text, uint8_t* out, size_t out_size);
