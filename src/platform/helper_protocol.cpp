#include "platform/helper_protocol.h"

#include <cerrno>
#include <cstring>

namespace quor::helper {

namespace {

void put16(uint8_t* p, uint16_t v) {
    memcpy(p, &v, sizeof(v));
}
void put32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, sizeof(v));
}
uint16_t get16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}
uint32_t get32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// 224.0.0.0 and above: multicast, reserved and the broadcast address.
bool multicast_or_above(uint32_t addr) {
    return addr >= 0xE0000000u;
}

int refuse(const char** why, const char* text) {
    *why = text;
    return EINVAL;
}

}  // namespace

void encode_request(const Request& req, uint8_t out[REQUEST_SIZE]) {
    put32(out, MAGIC);
    put16(out + 4, VERSION);
    put16(out + 6, req.op);
    put32(out + 8, req.a);
    put32(out + 12, req.b);
    put32(out + 16, req.c);
}

void encode_answer(const Answer& ans, uint8_t out[ANSWER_SIZE]) {
    put32(out, MAGIC);
    put16(out + 4, ans.op);
    put16(out + 6, ans.status);
    put32(out + 8, ans.value);
    put32(out + 12, 0);
}

int decode_request(const uint8_t* buf, size_t len, int fds, Request* req, const char** why) {
    *why = "";
    if (len != REQUEST_SIZE) return refuse(why, "wrong request size");
    if (get32(buf) != MAGIC) return refuse(why, "bad magic");
    if (get16(buf + 4) != VERSION) return refuse(why, "unsupported version");
    Request r;
    r.op = get16(buf + 6);
    r.a = get32(buf + 8);
    r.b = get32(buf + 12);
    r.c = get32(buf + 16);
    const int fds_wanted = r.op == OP_ATTACH ? 1 : 0;
    switch (r.op) {
        case OP_ATTACH:
            if (r.b < SPEED_LOW || r.b > SPEED_HIGH) return refuse(why, "speed out of range");
            if (r.c != 0) return refuse(why, "unused field set");
            break;
        case OP_DETACH:
            if (r.a > MAX_PORT) return refuse(why, "port out of range");
            if (r.b != 0 || r.c != 0) return refuse(why, "unused field set");
            break;
        case OP_BIND_UDP:
            if (r.a != FAMILY_IPV4) return refuse(why, "address family not IPv4");
            if (r.c != LOG_SERVICE_PORT) return refuse(why, "port not the log service's");
            if (multicast_or_above(r.b)) return refuse(why, "not a unicast address");
            break;
        case OP_FIREWALL_OPEN:
        case OP_FIREWALL_CLOSE:
            if (r.a != FAMILY_IPV4) return refuse(why, "address family not IPv4");
            // A rule for 0.0.0.0/8 or a group address would let in more than
            // the one phone.
            if ((r.b >> 24) == 0 || multicast_or_above(r.b))
                return refuse(why, "not a single host's address");
            if (r.c != 0) return refuse(why, "unused field set");
            break;
        default:
            return refuse(why, "unknown operation");
    }
    if (fds != fds_wanted)
        return refuse(why, fds_wanted ? "descriptor missing" : "unexpected descriptor");
    *req = r;
    return 0;
}

int decode_answer(const uint8_t* buf, size_t len, uint16_t op, Answer* ans) {
    if (len != ANSWER_SIZE || get32(buf) != MAGIC || get16(buf + 4) != op || get32(buf + 12) != 0)
        return EPROTO;
    ans->op = op;
    ans->status = get16(buf + 6);
    ans->value = get32(buf + 8);
    return 0;
}

const char* op_name(uint16_t op) {
    switch (op) {
        case OP_ATTACH:
            return "attach";
        case OP_DETACH:
            return "detach";
        case OP_BIND_UDP:
            return "bind-udp";
        case OP_FIREWALL_OPEN:
            return "firewall-open";
        case OP_FIREWALL_CLOSE:
            return "firewall-close";
        default:
            return "unknown";
    }
}

}  // namespace quor::helper
