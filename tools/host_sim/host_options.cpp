#include "host_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_commands.h"
#include "host_text.h"

namespace {

constexpr double MAX_TIMEOUT_S = 3600;
constexpr uint32_t MAX_LINGER_MS = 60000;

const char* const USAGE =
    "Usage: quor-host-sim [--listen ADDR] [options]\n"
    "A USB host on the socket bus: the device plugs in by connecting to ADDR and\n"
    "unplugs by closing; the connection then carries USB/IP CMD_SUBMIT/CMD_UNLINK\n"
    "and RET_SUBMIT/RET_UNLINK PDUs as vhci_hcd speaks them. Every device that\n"
    "connects is enumerated like a Linux host does it and its descriptors checked.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR             unix:PATH or tcp:127.0.0.1:PORT (PORT 0: any);\n"
    "                            default $QUOR_VBUS\n"
    "  --timeout SECONDS         time an unanswered request waits before it is\n"
    "                            unlinked (default 5, as the Linux host)\n"
    "  --script FILE             run the commands in FILE, then those on stdin\n"
    "  --exit-after-enumeration  leave once the first device is enumerated\n"
    "  --linger MS               before that exit, keep checking replies this\n"
    "                            long (default 600)\n"
    "  --trace                   print every PDU: \"tx HEX\", \"rx HEX\"\n"
    "  --help                    this text\n"
    "\n"
    "Output, one fact per line: listening ADDR, connected, device ..., languages ...,\n"
    "string N \"TEXT\", config ..., interface ..., hid ..., audio ..., endpoint ...,\n"
    "qualifier ..., set-configuration ..., set-interface ..., set-idle ...,\n"
    "hid report-descriptor ..., timeout seq=N ..., unlink seq=N status=S,\n"
    "interrupt seq=N ..., enumeration done, disconnected. Problems are printed as\n"
    "\"error: WHAT\" (the device broke the protocol; where the Linux host drops the\n"
    "device, so does this one) and \"check-failed: WHAT\"; the exit code is 1 when\n"
    "any was printed, 2 for a bad command line, else 0.\n"
    "\n";

int bad(const char* fmt, const char* arg) {
    fprintf(stderr, "quor-host-sim: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n");
    return -1;
}

}  // namespace

int parse_host_options(int argc, char** argv, const char* env_vbus, HostOptions* opt) {
    if (env_vbus) opt->listen = env_vbus;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool has_value = i + 1 < argc;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(USAGE, stdout);
            fputs(HOST_COMMAND_HELP, stdout);
            fputs(STREAM_COMMAND_HELP, stdout);
            fputs(UNLINK_COMMAND_HELP, stdout);
            fputs(SOFTPHONE_COMMAND_HELP, stdout);
            return 1;
        } else if (strcmp(a, "--exit-after-enumeration") == 0) {
            opt->exit_after_enumeration = true;
        } else if (strcmp(a, "--trace") == 0) {
            opt->trace = true;
        } else if (!has_value) {
            return bad("unknown option or missing value: %s", a);
        } else if (strcmp(a, "--listen") == 0) {
            opt->listen = argv[++i];
        } else if (strcmp(a, "--script") == 0) {
            opt->script = argv[++i];
        } else if (strcmp(a, "--timeout") == 0) {
            char* end = nullptr;
            double s = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !std::isfinite(s) || s <= 0 ||
                s > MAX_TIMEOUT_S) {
                return bad("--timeout takes seconds (0 < s <= 3600), not %s", argv[i]);
            }
            opt->timeout_ms = static_cast<int>(std::ceil(s * 1000));
        } else if (strcmp(a, "--linger") == 0) {
            uint32_t ms = 0;
            if (parse_number(argv[++i], MAX_LINGER_MS, &ms) != 0) {
                return bad("--linger takes milliseconds up to 60000, not %s", argv[i]);
            }
            opt->linger_ms = static_cast<int>(ms);
        } else {
            return bad("unknown option: %s", a);
        }
    }
    if (opt->listen.empty()) return bad("%s", "no address: give --listen ADDR or set QUOR_VBUS");
    return 0;
}
