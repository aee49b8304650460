// quor-helper: the connector's privileged steps, for a connector that runs
// as the desktop user. systemd starts it as root through its socket unit;
// requests and answers are described in platform/helper_protocol.h.
//
// One thread serves every connection in turn. Each request is checked,
// authorized (polkit, for the process that connected), carried out and
// logged with the caller's uid to standard error, which systemd sends to the
// journal. What a connection attached or opened is undone when it closes.
//
// Options for tests only (the installed units use none):
//   --socket PATH      listen on PATH instead of the socket systemd passes
//   --allow-uid UID    authorize UID without polkit, and nobody else
//   --vhci-dir PATH    vhci_hcd's device folder (status, attach, detach)
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "helper/authority.h"
#include "helper/firewall_rules.h"
#include "platform/helper_protocol.h"
#include "platform/net.h"
#include "platform/vbus.h"
#include "platform/vbus_vhci.h"

namespace quor::helper {
namespace {

constexpr char VHCI_DIR[] = "/sys/devices/platform/vhci_hcd.0";
constexpr int SD_LISTEN_FDS_START = 3;
constexpr size_t MAX_CLIENTS = 32;
// Enough for one connector's device and a spare; a caller cannot use up
// every port of the machine.
constexpr size_t MAX_PORTS_PER_CLIENT = 4;
// How long a caller that closed its connection may take to close its end of
// a device's socket before the helper detaches the port itself.
constexpr int CALLER_EXIT_MS = 500;
constexpr size_t MAX_RULES_PER_CLIENT = 4;
// Started by its socket, the helper ends after this long without a
// connection; systemd starts it again at the next one.
constexpr int IDLE_EXIT_MS = 60'000;
// A free port can be taken by someone else between reading the status and
// attaching; the next free one is tried then.
constexpr int ATTACH_TRIES = 3;

// syslog priorities as systemd reads them from a line's "<N>" prefix.
constexpr int LOG_ERR = 3;
constexpr int LOG_WARNING = 4;
constexpr int LOG_INFO = 6;

struct Options {
    std::string socket_path;
    bool allow_uid_set = false;
    uid_t allow_uid = 0;
    std::string vhci_dir = VHCI_DIR;
};

// A vhci_hcd port this helper attached, with its own copy of the device's
// socket: it tells whether the caller's end is still open.
struct AttachedPort {
    unsigned port;
    int socket;
};

struct Client {
    int fd = -1;
    Peer peer;
    std::vector<AttachedPort> ports;
    std::vector<uint32_t> rules;
};

volatile sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

void note(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void note(int priority, const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    fprintf(stderr, "<%d>%s\n", priority, line);
}

std::string dotted(uint32_t a) {
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
             a & 0xFF);
    return text;
}

// Writes TEXT to the vhci_hcd file PATH: 0 or an errno value.
int write_vhci(const std::string& path, const std::string& text) {
    return write_sysfs(path, text) == 0 ? 0 : errno;
}

class Helper {
  public:
    explicit Helper(Options opts) : opts_(std::move(opts)) {}

    int run(int listen_fd, bool activated);

  private:
    void accept_client(int listen_fd);
    // False when the connection is to be closed.
    bool serve(Client& c);
    void drop(Client& c, bool stopping = false);
    bool authorized(const Client& c, std::string* why);
    bool answer(Client& c, uint16_t op, int status, uint32_t value, int fd = -1);

    // On success the port keeps STREAM_FD, and it is set to -1.
    int attach(Client& c, const Request& req, int* stream_fd, uint32_t* port);
    int detach(Client& c, unsigned port);
    int bind_udp(const Request& req, int* fd);
    int firewall(Client& c, const Request& req, bool open);

    Options opts_;
    std::vector<Client> clients_;
};

bool Helper::authorized(const Client& c, std::string* why) {
    if (opts_.allow_uid_set) {
        if (c.peer.uid == opts_.allow_uid) return true;
        *why = "uid not allowed";
        return false;
    }
    return polkit_allows(c.peer, why);
}

bool Helper::answer(Client& c, uint16_t op, int status, uint32_t value, int fd) {
    uint8_t buf[ANSWER_SIZE];
    encode_answer({op, uint16_t(status), value}, buf);
    // A caller that does not take its answers is not waited for.
    return send_with_descriptor(c.fd, buf, sizeof(buf), fd, MSG_DONTWAIT) == ssize_t(sizeof(buf));
}

int Helper::attach(Client& c, const Request& req, int* stream_fd, uint32_t* port) {
    int type = 0;
    socklen_t len = sizeof(type);
    if (getsockopt(*stream_fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
        return EINVAL;
    if (c.ports.size() >= MAX_PORTS_PER_CLIENT) return EMFILE;
    int err = EBUSY;
    for (int attempt = 0; attempt < ATTACH_TRIES && err == EBUSY; ++attempt) {
        uint8_t table[PORT_STATUS_SIZE];
        if (read_vhci_ports(opts_.vhci_dir, table) != 0) return ENODEV;
        unsigned free_port = 0;
        for (unsigned i = 1; i < PORT_STATUS_SIZE && !free_port; ++i)
            if (table[i] == 0) free_port = i;
        if (!free_port) return EBUSY;
        // The kernel takes the descriptor number in the writer's own table:
        // the helper's copy of the caller's socket.
        char line[64];
        snprintf(line, sizeof(line), "%u %d %u %u\n", free_port - 1, *stream_fd, req.a, req.b);
        err = write_vhci(opts_.vhci_dir + "/attach", line);
        if (err == 0) {
            *port = free_port - 1;
            c.ports.push_back({free_port - 1, *stream_fd});
            *stream_fd = -1;
        }
    }
    return err;
}

int Helper::detach(Client& c, unsigned port) {
    const auto it = std::find_if(c.ports.begin(), c.ports.end(),
                                 [port](const AttachedPort& p) { return p.port == port; });
    if (it == c.ports.end()) return ENOENT;
    close(it->socket);
    c.ports.erase(it);
    return write_vhci(opts_.vhci_dir + "/detach", std::to_string(port) + "\n");
}

int Helper::bind_udp(const Request& req, int* fd) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(req.c));
    sa.sin_addr.s_addr = htonl(req.b);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        const int err = errno;
        close(s);
        return err;
    }
    *fd = s;
    return 0;
}

int Helper::firewall(Client& c, const Request& req, bool open) {
    const auto it = std::find(c.rules.begin(), c.rules.end(), req.b);
    std::string why;
    if (!open) {
        if (it == c.rules.end()) return ENOENT;
        c.rules.erase(it);
        const int err = firewall_remove(req.b, &why);
        if (err)
            note(LOG_WARNING, "firewall rules for %s not removed: %s", dotted(req.b).c_str(),
                 why.c_str());
        return err;
    }
    if (it != c.rules.end()) return 0;
    if (c.rules.size() >= MAX_RULES_PER_CLIENT) return EMFILE;
    const int err = firewall_add(req.b, &why);
    if (err == 0) c.rules.push_back(req.b);
    if (!why.empty())
        note(err ? LOG_WARNING : LOG_INFO, "firewall for %s: %s", dotted(req.b).c_str(),
             why.c_str());
    return err;
}

bool Helper::serve(Client& c) {
    uint8_t buf[REQUEST_SIZE + 16];
    iovec iov{buf, sizeof(buf)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(c.fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;

    // Every descriptor that came is taken, and closed unless used.
    std::vector<int> fds;
    bool foreign_control = false;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) {
            foreign_control = true;
            continue;
        }
        const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
            fds.push_back(fd);
        }
    }
    const uid_t uid = c.peer.uid;
    const int pid = int(c.peer.pid);
    Request req;
    const char* why = "";
    int status = 0;
    if (msg.msg_flags & MSG_TRUNC) {
        status = EINVAL;
        why = "request too long";
    } else if (msg.msg_flags & MSG_CTRUNC || foreign_control) {
        status = EINVAL;
        why = "unexpected ancillary data";
    } else {
        status = decode_request(buf, size_t(n), int(fds.size()), &req, &why);
    }
    if (status != 0) {
        note(LOG_WARNING, "uid %u pid %d: malformed request refused: %s", uid, pid, why);
        for (int fd : fds) close(fd);
        // The answer names the operation as the request did, so that the
        // caller can match it.
        uint16_t raw_op = 0;
        if (n >= 8 && !(msg.msg_flags & MSG_TRUNC)) memcpy(&raw_op, buf + 6, sizeof(raw_op));
        return answer(c, raw_op, status, 0);
    }
    const uint16_t op = req.op;

    // Detaching and closing undo only what this connection did and need no
    // further authorization.
    std::string refusal;
    if (op != OP_DETACH && op != OP_FIREWALL_CLOSE && !authorized(c, &refusal)) {
        note(LOG_WARNING, "uid %u pid %d: %s refused: %s", uid, pid, op_name(op), refusal.c_str());
        for (int fd : fds) close(fd);
        return answer(c, op, EPERM, 0);
    }

    uint32_t value = 0;
    int out_fd = -1;
    switch (op) {
        case OP_ATTACH:
            status = attach(c, req, &fds[0], &value);
            note(status ? LOG_ERR : LOG_INFO, "uid %u pid %d: attach devid 0x%x speed %u: %s %u",
                 uid, pid, req.a, req.b, status ? strerror(status) : "port", value);
            break;
        case OP_DETACH:
            status = detach(c, req.a);
            note(status ? LOG_WARNING : LOG_INFO, "uid %u pid %d: detach port %u: %s", uid, pid,
                 req.a, status == ENOENT ? "not attached by this caller" : strerror(status));
            break;
        case OP_BIND_UDP:
            status = bind_udp(req, &out_fd);
            note(status ? LOG_ERR : LOG_INFO, "uid %u pid %d: bind UDP %s:%u: %s", uid, pid,
                 dotted(req.b).c_str(), req.c, strerror(status));
            break;
        case OP_FIREWALL_OPEN:
        case OP_FIREWALL_CLOSE:
            status = firewall(c, req, op == OP_FIREWALL_OPEN);
            note(status ? LOG_WARNING : LOG_INFO, "uid %u pid %d: %s for %s: %s", uid, pid,
                 op_name(op), dotted(req.b).c_str(), strerror(status));
            break;
    }
    // The kernel holds its own reference to an attached socket.
    for (int fd : fds)
        if (fd >= 0) close(fd);
    const bool sent = answer(c, op, status, value, out_fd);
    if (out_fd >= 0) close(out_fd);
    return sent;
}

// Whether the other end of SOCKET is closed, or the kernel shut the socket
// down, within WAIT_MS.
bool peer_closes(int socket, int wait_ms) {
    pollfd p{socket, POLLRDHUP, 0};
    int n;
    while ((n = poll(&p, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    return n == 1 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
}

void Helper::drop(Client& c, bool stopping) {
    // A caller that died takes its end of the device's socket with it, maybe
    // a moment after its connection to the helper, and vhci_hcd unplugs such
    // a port on its own: detaching it as well races with the kernel, which
    // logs an error when it loses. A caller still alive keeps that end open.
    const int wait_ms = stopping ? 0 : CALLER_EXIT_MS;
    uint8_t table[PORT_STATUS_SIZE];
    const bool status_known = !c.ports.empty() && read_vhci_ports(opts_.vhci_dir, table) == 0;
    for (const AttachedPort& p : c.ports) {
        const uid_t uid = c.peer.uid;
        const int pid = int(c.peer.pid);
        if (status_known && table[p.port + 1] == 0) {
            note(LOG_INFO, "uid %u pid %d: gone, port %u already unplugged", uid, pid, p.port);
        } else if (peer_closes(p.socket, wait_ms)) {
            note(LOG_INFO, "uid %u pid %d: gone, port %u unplugs itself: its socket is closed", uid,
                 pid, p.port);
        } else {
            const int err = write_vhci(opts_.vhci_dir + "/detach", std::to_string(p.port) + "\n");
            note(err ? LOG_WARNING : LOG_INFO, "uid %u pid %d: gone, detach port %u: %s", uid, pid,
                 p.port, strerror(err));
        }
        close(p.socket);
    }
    for (uint32_t addr : c.rules) {
        std::string why;
        const int err = firewall_remove(addr, &why);
        note(err ? LOG_WARNING : LOG_INFO, "uid %u pid %d: gone, firewall-close for %s: %s %s",
             c.peer.uid, int(c.peer.pid), dotted(addr).c_str(), strerror(err), why.c_str());
    }
    c.ports.clear();
    c.rules.clear();
    release_peer(&c.peer);
    close(c.fd);
    c.fd = -1;
}

void Helper::accept_client(int listen_fd) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= MAX_CLIENTS) {
        note(LOG_WARNING, "too many connections; one refused");
        close(fd);
        return;
    }
    Client c;
    c.fd = fd;
    if (!identify_peer(fd, &c.peer)) {
        note(LOG_WARNING, "connection from a process that has gone; closed");
        close(fd);
        return;
    }
    clients_.push_back(std::move(c));
}

int Helper::run(int listen_fd, bool activated) {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t during_poll;
    sigprocmask(SIG_SETMASK, nullptr, &during_poll);
    sigdelset(&during_poll, SIGTERM);
    sigdelset(&during_poll, SIGINT);
    sigdelset(&during_poll, SIGHUP);

    while (!g_stop) {
        std::vector<pollfd> fds;
        fds.push_back({listen_fd, POLLIN, 0});
        for (const Client& c : clients_) fds.push_back({c.fd, POLLIN, 0});
        timespec idle{IDLE_EXIT_MS / 1000, 0};
        const bool may_exit = activated && clients_.empty();
        const int n = ppoll(fds.data(), fds.size(), may_exit ? &idle : nullptr, &during_poll);
        if (n < 0) {
            if (errno == EINTR) continue;
            note(LOG_ERR, "poll failed: %s", strerror(errno));
            break;
        }
        if (n == 0) break;  // idle
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Client& c = clients_[i - 1];
            if (!serve(c)) drop(c);
        }
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const Client& c) { return c.fd < 0; }),
                       clients_.end());
        if (fds[0].revents & POLLIN) accept_client(listen_fd);
    }
    for (Client& c : clients_) drop(c, true);
    clients_.clear();
    return 0;
}

// The listening socket systemd passed (LISTEN_FDS), or -1.
int activation_socket() {
    const char* pid = getenv("LISTEN_PID");
    const char* count = getenv("LISTEN_FDS");
    if (!pid || !count || strtol(pid, nullptr, 10) != long(getpid())) return -1;
    if (strtol(count, nullptr, 10) != 1) {
        note(LOG_ERR, "expected one socket from systemd, got %s", count);
        return -1;
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return SD_LISTEN_FDS_START;
}

int listen_at(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sa.sun_path)) {
        note(LOG_ERR, "socket path too long: %s", path.c_str());
        return -1;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    // Like the socket unit: anyone may connect, polkit decides.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 ||
        chmod(path.c_str(), 0666) != 0 || listen(fd, 16) != 0) {
        note(LOG_ERR, "cannot listen on %s: %s", path.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int usage() {
    fprintf(stderr,
            "usage: quor-helper [--socket PATH] [--allow-uid UID] [--vhci-dir PATH]\n"
            "Started by systemd through its socket unit; the options are for tests.\n");
    return 2;
}

int helper_main(int argc, char** argv) {
    Options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        if (arg == "--socket") {
            opts.socket_path = value;
        } else if (arg == "--allow-uid") {
            char* end = nullptr;
            errno = 0;
            const unsigned long uid = strtoul(value, &end, 10);
            if (errno || !*value || *end || uid > 0xFFFFFFFEul) return usage();
            opts.allow_uid = uid_t(uid);
            opts.allow_uid_set = true;
        } else if (arg == "--vhci-dir") {
            opts.vhci_dir = value;
        } else {
            return usage();
        }
    }
    setvbuf(stderr, nullptr, _IOLBF, 0);
    umask(077);
    int listen_fd = -1;
    const bool activated = opts.socket_path.empty();
    if (activated) {
        listen_fd = activation_socket();
        if (listen_fd < 0) {
            note(LOG_ERR, "no socket: start through the socket unit, or with --socket PATH");
            return 1;
        }
        int type = 0;
        socklen_t len = sizeof(type);
        if (getsockopt(listen_fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
            type != SOCK_SEQPACKET) {
            note(LOG_ERR, "the socket from systemd is not a sequential-packet socket");
            return 1;
        }
        fcntl(listen_fd, F_SETFD, FD_CLOEXEC);
    } else {
        listen_fd = listen_at(opts.socket_path);
        if (listen_fd < 0) return 1;
    }
    note(LOG_INFO, "listening%s%s%s", activated ? "" : " on ", opts.socket_path.c_str(),
         opts.allow_uid_set ? (" (uid " + std::to_string(opts.allow_uid) + " only)").c_str() : "");
    const int rc = Helper(std::move(opts)).run(listen_fd, activated);
    close(listen_fd);
    return rc;
}

}  // namespace
}  // namespace quor::helper

int main(int argc, char** argv) {
    return quor::helper::helper_main(argc, argv);
}
