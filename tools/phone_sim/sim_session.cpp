#include "sim_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "link/ctrl_frame.h"
#include "platform/byte_order.h"
#include "sim_syslog.h"

namespace {

// After the last frame of an unpair the connector gets this long to close its
// end, so its final frames still reach the transcript.
constexpr auto CLOSE_LINGER = std::chrono::seconds(1);

enum class After { CONTINUE, CLOSE };

const char* text_problem(const CtrlFrame& f, size_t max_len) {
    if (f.len == 0) return "empty text";
    if (f.len > max_len) return "text longer than allowed";
    if (f.payload[f.len - 1] != 0) return "text without its closing NUL";
    return nullptr;
}

// Why a frame from the connector is malformed, or null when it is sound.
const char* payload_problem(const CtrlFrame& f) {
    switch (f.type) {
        case DISMISS_SIGNIN_HELP:
        case PAIR_START:
        case LYNC_ONLINE:
        case LYNC_LOGOUT:
        case PAIR_QUERY:
        case UNPAIR:
        case UNPAIR_ACK:
        case MEDIA_STOP:
        case KEEPALIVE:
            return f.len == 0 ? nullptr : "payload on a message that has none";
        case USER_NAME:
        case PASSWORD:
        case DOMAIN:
            return text_problem(f, CTRL_PAYLOAD_MAX);
        case DISPLAY_NAME:
            return text_problem(f, DISPLAY_NAME_MAX);
        case LOG_ROUTE:
            return f.len == LOG_ROUTE_LEN ? nullptr : "payload is not 8 bytes";
        case MEDIA_OFFER:
            if (f.len != MEDIA_OFFER_LEN) return "payload is not 132 bytes";
            if (!memchr(f.payload + 4, 0, MEDIA_CRYPTO_FIELD_LEN)) return "crypto line without NUL";
            return nullptr;
        default:
            return ctrl_type_known(f.type) ? "a message only the phone sends" : "unknown type";
    }
}

void answer_pair_query(SimState& st) {
    bool held = st.opt.held && !(st.opt.held_once && st.held_answer_given.exchange(true));
    if (!held) {
        st.link.send(PAIR_ANSWER);
        return;
    }
    uint8_t holder[4];
    put_be32(holder, st.opt.held_by);
    st.link.send(PAIR_ANSWER, holder, sizeof(holder));
}

After handle_frame(SimState& st, const CtrlFrame& f) {
    if (const char* problem = payload_problem(f)) {
        st.out.event("bad %s (type 0x%02X, %u bytes): %s; dropped", ctrl_type_name(f.type), f.type,
                     f.len, problem);
        return After::CONTINUE;
    }
    switch (f.type) {
        case PAIR_QUERY:
            answer_pair_query(st);
            break;
        case PAIR_START:
            if (st.opt.identity_drop_after >= 0) {
                send_identity(st, st.opt.identity_drop_after);
                st.out.event("dropping the connection after %d identity frames",
                             st.opt.identity_drop_after);
                st.link.drop();
            } else if (st.opt.identity && send_identity(st) == 0 && st.opt.sign_in) {
                st.link.send(SIGNED_IN);
            }
            break;
        case KEEPALIVE:
            if (st.keepalive_answer) st.link.send(KEEPALIVE_ACK);
            break;
        case MEDIA_OFFER: {
            uint8_t answer[CTRL_PAYLOAD_MAX];
            const int n = st.media.start(f.payload, f.len, answer, sizeof(answer));
            if (n > 0) st.link.send(PHONE_MEDIA_OFFER, answer, size_t(n));
            if (n > 0 && st.opt.answer_media_twice)
                st.link.send(PHONE_MEDIA_OFFER, answer, size_t(n));
            break;
        }
        case MEDIA_STOP:
            st.media.stop();
            break;
        case UNPAIR:
            st.link.send(UNPAIR_ACK);
            return After::CLOSE;
        case LOG_ROUTE:
            apply_log_route(st, f);
            break;
        case UNPAIR_ACK:
            if (st.link.unpair_pending()) return After::CLOSE;
            st.out.event("note: UNPAIR_ACK without an UNPAIR; ignored");
            break;
        default:
            break;  // recorded only
    }
    return After::CONTINUE;
}

}  // namespace

int send_identity(SimState& st, int count) {
    if (count < 1) return 0;
    const std::string& model = st.opt.model;
    uint8_t name[CTRL_PAYLOAD_MAX];
    memcpy(name, model.data(), model.size());
    name[model.size()] = 0;
    if (st.link.send(MODEL_NAME, name, model.size() + 1) != 0) return -1;
    const struct {
        CtrlMsgType type;
        uint16_t value;
    } numbers[] = {
        {VENDOR_ID, st.opt.vid}, {PRODUCT_ID, st.opt.pid}, {DEVICE_RELEASE, st.opt.release}};
    for (int i = 0; i + 1 < count && i < int(std::size(numbers)); ++i) {
        const auto& n = numbers[i];
        uint8_t be[2];
        put_be16(be, n.value);
        if (st.link.send(n.type, be, sizeof(be)) != 0) return -1;
    }
    return 0;
}

void serve_connection(SimState& st, int fd) {
    st.link.attach(fd);
    bool closing = false;
    SimLink::Clock::time_point linger_end{};
    while (!st.quit) {
        auto now = SimLink::Clock::now();
        if (closing && now >= linger_end) break;
        if (!closing && st.link.unpair_overdue(now)) {
            st.out.event("note: no UNPAIR_ACK within 2 s");
            break;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, SIM_TICK_MS);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            st.out.event("note: poll failed: %s", strerror(errno));
            break;
        }
        if (ready == 0) continue;
        CtrlFrame f;
        int r = gather_frame(&f, [fd](uint8_t* buf, size_t n) -> long {
            ssize_t got;
            do {
                got = recv(fd, buf, n, 0);
            } while (got < 0 && errno == EINTR);
            return got;
        });
        if (r == 0) {
            st.out.event("note: end of input on the connection");
            break;
        }
        if (r < 0) {
            st.out.event("note: read failed: %s", strerror(errno));
            break;
        }
        st.link.record_received(f);
        if (closing) continue;  // the last frames are recorded, not answered
        if (handle_frame(st, f) == After::CLOSE) {
            st.link.finish_sending();
            closing = true;
            linger_end = SimLink::Clock::now() + CLOSE_LINGER;
        }
    }
    clear_log_route(st);
    st.media.stop();
    st.link.detach();
}
