#include "sim_options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_commands.h"

namespace {

enum OptionId {
    OPT_PORT = 1,
    OPT_TRANSCRIPT,
    OPT_HELD_BY,
    OPT_HELD_ONCE,
    OPT_MODEL,
    OPT_VID,
    OPT_PID,
    OPT_RELEASE,
    OPT_SIGN_IN,
    OPT_NO_IDENTITY,
    OPT_NO_KEEPALIVE_ANSWER,
    OPT_DROP_IN_IDENTITY,
    OPT_ANSWER_MEDIA_TWICE,
    OPT_MEDIA_PORT,
    OPT_TONE,
    OPT_LEVEL,
    OPT_BURST,
    OPT_ECHO,
    OPT_RECORD,
    OPT_CLOCK_SKEW,
    OPT_FRAME_MARKS,
    OPT_HELP,
};

const option LONG_OPTIONS[] = {
    {"port", required_argument, nullptr, OPT_PORT},
    {"transcript", required_argument, nullptr, OPT_TRANSCRIPT},
    {"held-by", required_argument, nullptr, OPT_HELD_BY},
    {"held-once", no_argument, nullptr, OPT_HELD_ONCE},
    {"model", required_argument, nullptr, OPT_MODEL},
    {"vid", required_argument, nullptr, OPT_VID},
    {"pid", required_argument, nullptr, OPT_PID},
    {"release", required_argument, nullptr, OPT_RELEASE},
    {"sign-in", no_argument, nullptr, OPT_SIGN_IN},
    {"no-identity", no_argument, nullptr, OPT_NO_IDENTITY},
    {"no-keepalive-answer", no_argument, nullptr, OPT_NO_KEEPALIVE_ANSWER},
    {"drop-in-identity", required_argument, nullptr, OPT_DROP_IN_IDENTITY},
    {"answer-media-twice", no_argument, nullptr, OPT_ANSWER_MEDIA_TWICE},
    {"media-port", required_argument, nullptr, OPT_MEDIA_PORT},
    {"tone", required_argument, nullptr, OPT_TONE},
    {"level", required_argument, nullptr, OPT_LEVEL},
    {"burst", no_argument, nullptr, OPT_BURST},
    {"echo", no_argument, nullptr, OPT_ECHO},
    {"record", required_argument, nullptr, OPT_RECORD},
    {"clock-skew-ppm", required_argument, nullptr, OPT_CLOCK_SKEW},
    {"frame-marks", no_argument, nullptr, OPT_FRAME_MARKS},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

void print_usage(FILE* to) {
    fprintf(to,
            "Usage: quor-phone-sim [OPTION]...\n"
            "A desk phone on the loopback address: listens on 127.0.0.1 for the\n"
            "connector's control channel, serving one connection at a time.\n"
            "\n"
            "  --port N               control port (default 7063)\n"
            "  --transcript FILE      also write the frame transcript to FILE\n"
            "  --held-by A.B.C.D      answer PAIR_QUERY as held by that PC\n"
            "  --held-once            only the first PAIR_QUERY is answered as held\n"
            "  --model NAME           MODEL_NAME text (default Q55, at most %zu bytes)\n"
            "  --vid N                VENDOR_ID (default 0x2f1c)\n"
            "  --pid N                PRODUCT_ID (default 0x0455)\n"
            "  --release N            DEVICE_RELEASE (default 0x0214)\n"
            "  --sign-in              send SIGNED_IN right after the identity\n"
            "  --no-identity          answer PAIR_START without the identity, so the\n"
            "                         connector stays in pairing with the channel open\n"
            "  --no-keepalive-answer  leave KEEPALIVE unanswered\n"
            "  --drop-in-identity N   after PAIR_START send N of the 4 identity frames\n"
            "                         (0 to 4), then drop the connection\n"
            "  --answer-media-twice   answer every MEDIA_OFFER with two PHONE_MEDIA_OFFERs\n"
            "  --media-port N         the phone's RTP port (default 18800)\n"
            "  --tone HZ              call audio: a tone of HZ (1 to 7999; default silence)\n"
            "  --level DBFS           the tone's level (-90 to 0, default -12)\n"
            "  --burst                the tone on for 200 ms, off for 300 ms\n"
            "  --echo                 call audio: send back what arrives\n"
            "  --record FILE          write the call audio that arrives to FILE (WAV)\n"
            "  --clock-skew-ppm N     run the media clock N parts per million fast\n"
            "                         (negative: slow; at most %.0f either way): it\n"
            "                         paces sending, and what arrives is played from\n"
            "                         a small buffer at the same rate, with a line a\n"
            "                         second of frames played, repeated and dropped\n"
            "  --frame-marks          number each packet sent in the low bit of its\n"
            "                         first 32 samples (16 bits, then inverted)\n"
            "  --help                 show this text\n"
            "\n"
            "Standard output: event lines (listening PORT, connected, closed,\n"
            "recv NAME, sent NAME, log route pc A.B.C.D | phone, syslog sent ...,\n"
            "notes) and the transcript (P: bytes the connector sent, T: bytes sent\n"
            "to it, in hex).\n"
            "\n"
            "Commands on standard input, one per line (end of input does not quit;\n"
            "SIGTERM or SIGINT does):\n%s",
            SIM_MODEL_MAX, SIM_MAX_SKEW_PPM, sim_command_help());
}

// A decimal number from LOW to HIGH. 0 on success, -1 otherwise.
int parse_number(const char* text, double low, double high, double* value) {
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != 0 || !(v >= low && v <= high)) return -1;
    *value = v;
    return 0;
}

}  // namespace

int parse_ipv4(const char* text, uint32_t* addr) {
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) return -1;
    *addr = ntohl(a.s_addr);
    return 0;
}

int parse_u16(const char* text, uint16_t* value) {
    if (!isdigit(static_cast<unsigned char>(text[0]))) return -1;
    errno = 0;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 0);
    if (errno != 0 || *end != 0 || v > 0xFFFF) return -1;
    *value = static_cast<uint16_t>(v);
    return 0;
}

int parse_hex_bytes(const char* text, uint8_t* out, size_t out_size) {
    size_t n = 0;
    int high = -1;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (isspace(c)) {
            if (high >= 0) return -1;  // a lone digit before a blank
            continue;
        }
        if (!isxdigit(c)) return -1;
        int digit = isdigit(c) ? c - '0' : tolower(c) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            if (n == out_size) return -1;
            out[n++] = static_cast<uint8_t>(high << 4 | digit);
            high = -1;
        }
    }
    if (high >= 0) return -1;
    return static_cast<int>(n);
}

int parse_sim_options(int argc, char** argv, SimOptions* opt) {
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr)) != -1) {
        const char* bad = nullptr;
        switch (c) {
            case OPT_PORT:
                if (parse_u16(optarg, &opt->port) != 0 || opt->port == 0) bad = "--port";
                break;
            case OPT_TRANSCRIPT:
                opt->transcript_path = optarg;
                break;
            case OPT_HELD_BY:
                opt->held = true;
                if (parse_ipv4(optarg, &opt->held_by) != 0) bad = "--held-by";
                break;
            case OPT_HELD_ONCE:
                opt->held_once = true;
                break;
            case OPT_MODEL:
                opt->model = optarg;
                if (opt->model.size() > SIM_MODEL_MAX) bad = "--model";
                break;
            case OPT_VID:
                if (parse_u16(optarg, &opt->vid) != 0) bad = "--vid";
                break;
            case OPT_PID:
                if (parse_u16(optarg, &opt->pid) != 0) bad = "--pid";
                break;
            case OPT_RELEASE:
                if (parse_u16(optarg, &opt->release) != 0) bad = "--release";
                break;
            case OPT_SIGN_IN:
                opt->sign_in = true;
                break;
            case OPT_NO_IDENTITY:
                opt->identity = false;
                break;
            case OPT_NO_KEEPALIVE_ANSWER:
                opt->keepalive_answer = false;
                break;
            case OPT_DROP_IN_IDENTITY: {
                double n = 0;
                if (parse_number(optarg, 0, SIM_IDENTITY_FRAMES, &n) != 0 || n != int(n))
                    bad = "--drop-in-identity";
                opt->identity_drop_after = int(n);
                break;
            }
            case OPT_ANSWER_MEDIA_TWICE:
                opt->answer_media_twice = true;
                break;
            case OPT_MEDIA_PORT:
                if (parse_u16(optarg, &opt->media.port) != 0 || opt->media.port == 0)
                    bad = "--media-port";
                break;
            case OPT_TONE:
                if (parse_number(optarg, 1, 7999, &opt->media.tone_hz) != 0) bad = "--tone";
                break;
            case OPT_LEVEL:
                if (parse_number(optarg, -90, 0, &opt->media.level_dbfs) != 0) bad = "--level";
                break;
            case OPT_BURST:
                opt->media.burst = true;
                break;
            case OPT_ECHO:
                opt->media.echo = true;
                break;
            case OPT_RECORD:
                opt->media.record_path = optarg;
                break;
            case OPT_CLOCK_SKEW:
                opt->media.skewed_clock = true;
                if (parse_number(optarg, -SIM_MAX_SKEW_PPM, SIM_MAX_SKEW_PPM,
                                 &opt->media.clock_skew_ppm) != 0)
                    bad = "--clock-skew-ppm";
                break;
            case OPT_FRAME_MARKS:
                opt->media.frame_marks = true;
                break;
            case OPT_HELP:
                print_usage(stdout);
                return 1;
            default:
                print_usage(stderr);
                return -1;
        }
        if (bad) {
            fprintf(stderr, "quor-phone-sim: bad value for %s: '%s'\n", bad, optarg);
            return -1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "quor-phone-sim: unexpected argument '%s'\n", argv[optind]);
        return -1;
    }
    if (opt->media.echo && opt->media.tone_hz > 0) {
        fprintf(stderr, "quor-phone-sim: --echo and --tone exclude each other\n");
        return -1;
    }
    if (opt->identity_drop_after >= 0 && !opt->identity) {
        fprintf(stderr,
                "quor-phone-sim: --drop-in-identity and --no-identity exclude each other\n");
        return -1;
    }
    if (opt->held_once && !opt->held) {
        fprintf(stderr, "quor-phone-sim: --held-once needs --held-by\n");
        return -1;
    }
    return 0;
}
