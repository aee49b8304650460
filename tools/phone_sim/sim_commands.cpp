#include "sim_commands.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "platform/byte_order.h"
#include "sim_rtp_fault.h"
#include "sim_session.h"
#include "sim_syslog.h"

namespace {

constexpr size_t LINE_MAX_LEN = 4096;
constexpr size_t RAW_MAX = 1024;
constexpr unsigned long SIM_RTP_FAULT_MAX = 100000;

struct Command {
    const char* name;
    const char* args;
    const char* help;
    // Returns -1 for arguments that do not fit the command's usage.
    int (*run)(SimState& st, const Command& cmd, const std::string& args);
    uint8_t type;  // the frame of the commands that send one plain frame
};

int run_plain(SimState& st, const Command& cmd, const std::string& args) {
    if (!args.empty()) return -1;
    st.link.send(cmd.type);
    return 0;
}

int run_gruu(SimState& st, const Command&, const std::string& args) {
    if (args.empty() || args.size() > CTRL_PAYLOAD_MAX - 1) return -1;
    uint8_t text[CTRL_PAYLOAD_MAX];
    memcpy(text, args.data(), args.size());
    text[args.size()] = 0;
    st.link.send(SET_GRUU, text, args.size() + 1);
    return 0;
}

int run_taken_over(SimState& st, const Command&, const std::string& args) {
    uint32_t addr;
    if (parse_ipv4(args.c_str(), &addr) != 0) return -1;
    uint8_t payload[4];
    put_be32(payload, addr);
    st.link.send(TAKEN_OVER, payload, sizeof(payload));
    return 0;
}

int run_identity(SimState& st, const Command&, const std::string& args) {
    if (!args.empty()) return -1;
    send_identity(st);
    return 0;
}

int run_unpair(SimState& st, const Command&, const std::string& args) {
    if (!args.empty()) return -1;
    st.link.start_unpair();
    return 0;
}

int run_drop(SimState& st, const Command&, const std::string& args) {
    if (!args.empty()) return -1;
    if (st.link.drop() != 0) st.out.event("note: no connection to drop");
    return 0;
}

int run_keepalive(SimState& st, const Command&, const std::string& args) {
    if (args != "on" && args != "off") return -1;
    st.keepalive_answer = args == "on";
    st.out.event("keepalive answers %s", args.c_str());
    return 0;
}

int run_send(SimState& st, const Command&, const std::string& args) {
    uint8_t bytes[RAW_MAX];
    int n = parse_hex_bytes(args.c_str(), bytes, sizeof(bytes));
    if (n <= 0) return -1;
    st.link.send_raw(bytes, static_cast<size_t>(n));
    return 0;
}

void send_to_loopback(SimState& st, uint16_t port, const uint8_t* bytes, size_t len) {
    char hex[RAW_MAX * 3 + 1];
    format_hex_bytes(bytes, len, hex, sizeof(hex));
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        st.out.event("note: no UDP socket: %s", strerror(errno));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ssize_t sent = sendto(s, bytes, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (sent == static_cast<ssize_t>(len))
        st.out.event("announced %s to 127.0.0.1:%u", hex, port);
    else
        st.out.event("note: announce to port %u failed: %s", port, strerror(errno));
    close(s);
}

int run_announce(SimState& st, const Command&, const std::string& args) {
    std::istringstream in(args);
    std::string addr_text, port_text, extra;
    in >> addr_text >> port_text >> extra;
    uint32_t addr;
    uint16_t port = ADDRESS_DATAGRAM_PORT;
    if (parse_ipv4(addr_text.c_str(), &addr) != 0 || !extra.empty()) return -1;
    if (!port_text.empty() && (parse_u16(port_text.c_str(), &port) != 0 || port == 0)) return -1;
    uint8_t datagram[ADDRESS_DATAGRAM_LEN];
    encode_address_datagram(addr, datagram);
    send_to_loopback(st, port, datagram, sizeof(datagram));
    return 0;
}

int run_announce_raw(SimState& st, const Command&, const std::string& args) {
    uint8_t bytes[RAW_MAX];
    int n = parse_hex_bytes(args.c_str(), bytes, sizeof(bytes));
    if (n <= 0) return -1;
    send_to_loopback(st, ADDRESS_DATAGRAM_PORT, bytes, static_cast<size_t>(n));
    return 0;
}

int run_syslog(SimState& st, const Command&, const std::string& args) {
    std::istringstream in(args);
    std::string count_text, size_text, extra;
    in >> count_text >> size_text >> extra;
    char* end = nullptr;
    const unsigned long count = strtoul(count_text.c_str(), &end, 10);
    if (count_text.empty() || *end || count == 0 || count > SIM_SYSLOG_COUNT_MAX || !extra.empty())
        return -1;
    unsigned long size = 0;
    if (!size_text.empty()) {
        size = strtoul(size_text.c_str(), &end, 10);
        if (*end || size == 0 || size > SIM_SYSLOG_SIZE_MAX) return -1;
    }
    send_log_lines(st, unsigned(count), size_t(size));
    return 0;
}

int run_rtp_fault(SimState& st, const Command&, const std::string& args) {
    std::istringstream in(args);
    std::string kind_text, count_text, extra;
    in >> kind_text >> count_text >> extra;
    RtpFault fault;
    char* end = nullptr;
    const unsigned long count = strtoul(count_text.c_str(), &end, 10);
    if (!parse_rtp_fault(kind_text, &fault) || count_text.empty() || *end || count == 0 ||
        count > SIM_RTP_FAULT_MAX || !extra.empty())
        return -1;
    st.media.inject(fault, unsigned(count));
    st.out.event("rtp fault armed: %s %lu", rtp_fault_name(fault), count);
    return 0;
}

int run_help(SimState& st, const Command&, const std::string&) {
    std::istringstream lines(sim_command_help());
    for (std::string line; std::getline(lines, line);) st.out.event("%s", line.c_str());
    return 0;
}

int run_quit(SimState& st, const Command&, const std::string& args) {
    if (!args.empty()) return -1;
    st.out.event("quitting");
    st.request_quit();
    return 0;
}

const Command COMMANDS[] = {
    {"signin", "", "send SIGNED_IN", run_plain, SIGNED_IN},
    {"signout", "", "send SIGNED_OUT", run_plain, SIGNED_OUT},
    {"signin-request", "", "send SIGNIN_REQUEST", run_plain, SIGNIN_REQUEST},
    {"signin-failed", "", "send SIGNIN_FAILED", run_plain, SIGNIN_FAILED},
    {"signout-request", "", "send SIGNOUT_REQUEST", run_plain, SIGNOUT_REQUEST},
    {"hangup", "", "send HANG_UP", run_plain, HANG_UP},
    {"gruu", "TEXT", "send SET_GRUU with TEXT (rest of the line, 1..254 bytes)", run_gruu, 0},
    {"taken-over", "A.B.C.D", "send TAKEN_OVER naming that PC", run_taken_over, 0},
    {"identity", "", "send MODEL_NAME, VENDOR_ID, PRODUCT_ID, DEVICE_RELEASE again", run_identity,
     0},
    {"unpair", "", "send UNPAIR; close after UNPAIR_ACK or 2 s", run_unpair, 0},
    {"drop", "", "close the connection abruptly (reset, no UNPAIR)", run_drop, 0},
    {"keepalive", "on|off", "answer KEEPALIVE with KEEPALIVE_ACK or not", run_keepalive, 0},
    {"send", "HEX...", "send raw bytes on the connection (1..1024), e.g. send 29 02 02 14",
     run_send, 0},
    {"announce", "A.B.C.D [PORT]", "send the address datagram to 127.0.0.1:PORT (default 14897)",
     run_announce, 0},
    {"announce-raw", "HEX...", "send raw bytes as a datagram to 127.0.0.1:14897", run_announce_raw,
     0},
    {"syslog", "N [SIZE]",
     "send N log lines to UDP 514 of the PC that LOG_ROUTE named, each SIZE bytes if given",
     run_syslog, 0},
    {"rtp-fault", "KIND N",
     "next N call packets get a bad datagram beside them (garbage, replay or truncate); prints rtp "
     "fault spent: KIND after the last",
     run_rtp_fault, 0},
    {"help", "", "list the commands", run_help, 0},
    {"quit", "", "end the simulator", run_quit, 0},
};

std::string build_help() {
    std::string text;
    for (const Command& c : COMMANDS) {
        std::string usage = std::string(c.name) + (*c.args ? " " : "") + c.args;
        usage.resize(usage.size() < 24 ? 24 : usage.size() + 1, ' ');
        text += "  " + usage + c.help + "\n";
    }
    return text;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

}  // namespace

const char* sim_command_help() {
    static const std::string HELP = build_help();
    return HELP.c_str();
}

void run_sim_command(SimState& st, const char* line) {
    std::string text = trim(line);
    if (text.empty()) return;
    size_t space = text.find_first_of(" \t");
    std::string name = text.substr(0, space);
    std::string args = space == std::string::npos ? std::string() : trim(text.substr(space));
    for (const Command& c : COMMANDS) {
        if (name != c.name) continue;
        if (c.run(st, c, args) != 0)
            st.out.event("bad command: usage: %s%s%s", c.name, *c.args ? " " : "", c.args);
        return;
    }
    st.out.event("bad command: unknown '%s' (try help)", name.c_str());
}

void run_command_reader(SimState& st) {
    std::string line;
    bool overlong = false;
    char buf[512];
    while (!st.quit) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&p, 1, SIM_TICK_MS);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        if (ready == 0) continue;
        ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (line.size() < LINE_MAX_LEN)
                    line += buf[i];
                else
                    overlong = true;
                continue;
            }
            if (overlong)
                st.out.event("bad command: line longer than %zu bytes; dropped", LINE_MAX_LEN);
            else
                run_sim_command(st, line.c_str());
            line.clear();
            overlong = false;
            if (st.quit) return;
        }
    }
}
