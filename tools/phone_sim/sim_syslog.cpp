#include "sim_syslog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/byte_order.h"

namespace {

// A short pause after each burst keeps the connector's receive queue from
// overflowing when many lines go out at once.
constexpr unsigned BURST = 16;
constexpr auto BURST_PAUSE = std::chrono::milliseconds(1);

std::string dotted(uint32_t addr) {
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", addr >> 24, addr >> 16 & 0xFF, addr >> 8 & 0xFF,
             addr & 0xFF);
    return text;
}

std::string log_line(const SimState& st, unsigned i, unsigned count, size_t size) {
    char head[96];
    snprintf(head, sizeof(head), "<14>%.40s phone: log line %06u of %06u", st.opt.model.c_str(), i,
             count);
    std::string line = head;
    if (size > 0) line.resize(size - 1, '.');
    return line + "\n";
}

}  // namespace

void apply_log_route(SimState& st, const CtrlFrame& f) {
    const uint8_t* p = f.payload;
    if (p[0] == 1 && p[1] == 1 && p[2] == 7 && p[3] == 0) {
        const uint32_t addr = get_be32(p + 4);
        st.log_to = addr;
        st.out.event("log route pc %s", dotted(addr).c_str());
    } else if (p[0] == 1 && p[1] == 0 && p[2] == 6 && p[3] == 0) {
        st.log_to = 0;
        st.out.event("log route phone");
    } else {
        st.out.event("bad LOG_ROUTE: unknown route %02X %02X %02X %02X; dropped", p[0], p[1], p[2],
                     p[3]);
    }
}

void clear_log_route(SimState& st) {
    st.log_to = 0;
}

void send_log_lines(SimState& st, unsigned count, size_t size) {
    const uint32_t to_addr = st.log_to;
    if (to_addr == 0) {
        st.out.event("note: the log stays on the phone; nothing sent");
        return;
    }
    if (to_addr >> 24 != 127) {
        st.out.event("note: %s is not a loopback address; nothing sent", dotted(to_addr).c_str());
        return;
    }
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        st.out.event("note: no UDP socket: %s", strerror(errno));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(SIM_SYSLOG_PORT);
    to.sin_addr.s_addr = htonl(to_addr);
    unsigned sent = 0;
    size_t bytes = 0;
    for (unsigned i = 1; i <= count && !st.quit; ++i) {
        const std::string line = log_line(st, i, count, size);
        if (sendto(s, line.data(), line.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof(to)) != static_cast<ssize_t>(line.size())) {
            st.out.event("note: syslog send failed: %s", strerror(errno));
            break;
        }
        ++sent;
        bytes += line.size();
        if (i % BURST == 0) std::this_thread::sleep_for(BURST_PAUSE);
    }
    close(s);
    st.out.event("syslog sent %u datagrams, %zu bytes, to %s:%u", sent, bytes,
                 dotted(to_addr).c_str(), SIM_SYSLOG_PORT);
}
