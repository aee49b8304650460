#include "platform/vbus_usbip_server.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/diag_log.h"
#include "platform/net.h"
#include "platform/socket_compat.h"

namespace quor {

namespace {
// A client that has not sent its whole operation request, or does not
// take the reply, within this long is dropped; the server serves one
// connection at a time.
constexpr int OP_TIMEOUT_MS = 5000;
constexpr int ACCEPT_RETRY_MS = 1000;
constexpr char USBIP_PREFIX[] = "usbip:";

std::string address_text(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// Reads until BUF holds NEED bytes: false on end of stream, error or time-out.
bool read_some(int fd, uint8_t* buf, size_t* len, size_t need) {
    while (*len < need) {
        pollfd p = sock_pollfd(fd, POLLIN);
        const int ready = sock_poll(&p, 1, OP_TIMEOUT_MS);
        if (ready < 0 && sock_interrupted(sock_error())) continue;
        if (ready <= 0) return false;
        const ssize_t got = sock_recv(fd, buf + *len, need - *len);
        if (got < 0 && sock_interrupted(sock_error())) continue;
        if (got <= 0) return false;
        *len += size_t(got);
    }
    return true;
}

bool send_all(int fd, const std::vector<uint8_t>& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = sock_send(fd, data.data() + sent, data.size() - sent);
        if (n < 0 && sock_interrupted(sock_error())) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Forwards every call to the program-wide server: the attachment owns its
// bus, the server outlives every attachment.
class SharedUsbipBus : public VirtualBus {
  public:
    explicit SharedUsbipBus(std::shared_ptr<UsbipServerBus> server) : server_(std::move(server)) {}
    int find_vbus_device_path(char* path, size_t size) override {
        return server_->find_vbus_device_path(path, size);
    }
    int open_device(const char* path) override { return server_->open_device(path); }
    int port_status(uint8_t* out, size_t size) override { return server_->port_status(out, size); }
    int plugin(const uint8_t* record, size_t len) override { return server_->plugin(record, len); }
    void unplug(const uint8_t* record, size_t len) override { server_->unplug(record, len); }
    void close_device() override { server_->close_device(); }
    void describe_device(const uint8_t* device, size_t device_len, const uint8_t* config,
                         size_t config_len) override {
        server_->describe_device(device, device_len, config, config_len);
    }
    int read_request(uint8_t* buf, size_t size, int timeout_ms) override {
        return server_->read_request(buf, size, timeout_ms);
    }
    void finish_request(uint32_t seqnum) override { server_->finish_request(seqnum); }
    int write_reply(const uint8_t* pdu, size_t len) override {
        return server_->write_reply(pdu, len);
    }
    size_t write_replies(const Reply* replies, size_t count) override {
        return server_->write_replies(replies, count);
    }
    void set_unlink_handler(UnlinkHandler handler) override {
        server_->set_unlink_handler(std::move(handler));
    }

  private:
    std::shared_ptr<UsbipServerBus> server_;
};

std::mutex g_server_mu;
std::shared_ptr<UsbipServerBus> g_server;
}  // namespace

UsbipServerBus::UsbipServerBus() : wake_(std::make_unique<SockWaker>()) {
    end_of_stream_is_normal_ = true;
}

UsbipServerBus::~UsbipServerBus() {
    stop();
    std::lock_guard lk(export_mu_);
    if (waiting_fd_ >= 0) sock_close(waiting_fd_);
    waiting_fd_ = -1;
}

int UsbipServerBus::start(uint32_t address, uint16_t port, const UsbipAllowList& allow) {
    allow_ = allow;
    listen_fd_ = sock_stream(AF_INET);
    const int waker = wake_->open();
    const int one = 1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    socklen_t len = sizeof(sa);
    if (listen_fd_ < 0 || waker != 0 ||
        sock_setopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        quor_log("Quor ERR: USB/IP server cannot listen on %s:%u: %s\n",
                 address_text(address).c_str(), unsigned(port),
                 sock_error_text(sock_error()).c_str());
        stop();
        return -1;
    }
    port_ = ntohs(sa.sin_port);
    address_text_ = address_text(address) + ":" + std::to_string(port_);
    quor_log("USBIP: listening on %s\n", address_text_.c_str());
    listener_ = std::thread([this] { serve(); });
    return 0;
}

void UsbipServerBus::stop() {
    if (listener_.joinable()) {
        wake_->wake();
        listener_.join();
    }
    if (listen_fd_ >= 0) sock_close(listen_fd_);
    wake_->close();
    listen_fd_ = -1;
}

void UsbipServerBus::serve() {
    for (;;) {
        pollfd p[2] = {sock_pollfd(listen_fd_, POLLIN), sock_pollfd(wake_->fd(), POLLIN)};
        if (sock_poll(p, 2, -1) < 0) {
            const int err = sock_error();
            if (sock_interrupted(err)) continue;
            quor_log("Quor ERR: USB/IP server stops: %s\n", sock_error_text(err).c_str());
            return;
        }
        if (p[1].revents) return;
        sockaddr_in peer{};
        const int fd = sock_accept(listen_fd_, &peer);
        if (fd < 0) {
            const int err = sock_error();
            if (sock_interrupted(err) || sock_would_block(err) || sock_connection_aborted(err))
                continue;
            // Out of descriptors, most likely: the pending connection stays
            // readable, so wait a while (or for the stop) before retrying.
            quor_log("Quor ERR: USB/IP server cannot accept: %s\n", sock_error_text(err).c_str());
            pollfd wake = sock_pollfd(wake_->fd(), POLLIN);
            if (sock_poll(&wake, 1, ACCEPT_RETRY_MS) > 0) return;
            continue;
        }
        handle_connection(fd, ntohl(peer.sin_addr.s_addr));
    }
}

bool UsbipServerBus::held_locked() {
    return reserved_ || waiting_fd_ >= 0 || stream_alive();
}

void UsbipServerBus::handle_connection(int fd, uint32_t peer) {
    const std::string who = address_text(peer);
    uint8_t request[USBIP_IMPORT_REQUEST_SIZE];
    size_t len = 0;
    std::vector<uint8_t> reply;
    UsbipOpOutcome outcome = UsbipOpOutcome::NEED_MORE;
    const char* why = nullptr;
    for (;;) {
        size_t need = 0;
        {
            std::lock_guard lk(export_mu_);
            const UsbipDeviceInfo device = device_;
            UsbipExportView view;
            view.device = exported_ ? &device : nullptr;
            view.held = held_locked();
            view.peer_allowed = allow_.allows(peer);
            reply.clear();
            outcome = usbip_answer_op(request, len, view, &reply, &need, &why);
            if (outcome == UsbipOpOutcome::IMPORTED) reserved_ = true;
        }
        if (outcome != UsbipOpOutcome::NEED_MORE) break;
        if (!read_some(fd, request, &len, need)) {
            if (len > 0) quor_log("Quor ERR: USB/IP request from %s cut short\n", who.c_str());
            sock_close(fd);
            return;
        }
    }
    if (outcome == UsbipOpOutcome::REFUSED)
        quor_log("Quor ERR: USB/IP request from %s refused: %s\n", who.c_str(), why);
    else if (why)
        quor_log("USBIP: import from %s refused: %s\n", who.c_str(), why);
    pollfd p = sock_pollfd(fd, POLLOUT);
    const bool sent = sock_poll(&p, 1, OP_TIMEOUT_MS) == 1 && send_all(fd, reply);
    if (outcome == UsbipOpOutcome::IMPORTED) {
        std::lock_guard lk(export_mu_);
        reserved_ = false;
        if (sent && exported_) {
            const int one = 1;
            sock_setopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            // A client whose network broke sends no end of stream: probes
            // find it gone, and the device is free for the next import.
            sock_dead_peer_after(fd, dead_peer_ms_);
            quor_log("USBIP: %s imported %s\n", who.c_str(), USBIP_EXPORT_BUSID);
            waiting_fd_ = fd;
            client_came_.notify_all();
            return;
        }
    }
    sock_close(fd);
}

int UsbipServerBus::find_vbus_device_path(char* path, size_t size) {
    const std::string text = USBIP_PREFIX + address_text_;
    if (listen_fd_ < 0 || text.size() >= size) {
        quor_log(
            "Quor ERR: usbvbus interface is not registered: the USB/IP server is not running\n");
        return -1;
    }
    memcpy(path, text.c_str(), text.size() + 1);
    return 0;
}

int UsbipServerBus::open_device(const char*) {
    return listen_fd_ >= 0 ? 0 : -1;
}

// One port, free while the device is not exported.
int UsbipServerBus::port_status(uint8_t* out, size_t size) {
    if (size < PORT_STATUS_SIZE) return -1;
    memset(out, 1, PORT_STATUS_SIZE);
    std::lock_guard lk(export_mu_);
    out[1] = exported_ ? 1 : 0;
    return int(PORT_STATUS_SIZE);
}

void UsbipServerBus::describe_device(const uint8_t* device, size_t device_len,
                                     const uint8_t* config, size_t config_len) {
    UsbipDeviceInfo info;
    const char* why = nullptr;
    std::lock_guard lk(export_mu_);
    described_ = usbip_describe_device(device, device_len, config, config_len, &info, &why) == 0;
    if (!described_) {
        quor_log("Quor ERR: device cannot be listed by the USB/IP server: %s\n", why);
        return;
    }
    device_ = std::move(info);
}

int UsbipServerBus::plugin(const uint8_t* record, size_t len) {
    if (len <= PLUGIN_RECORD_PORT || record[PLUGIN_RECORD_PORT] != 1) return 1;
    std::lock_guard lk(export_mu_);
    if (!described_) {
        quor_log("Quor ERR: USB/IP server has no description of the device to export\n");
        return 1;
    }
    if (exported_) return 1;
    exported_ = true;
    quor_log("USBIP: exporting %s (%04x:%04x)\n", USBIP_EXPORT_BUSID, device_.vendor,
             device_.product);
    return 0;
}

void UsbipServerBus::unplug(const uint8_t*, size_t) {
    {
        std::lock_guard lk(export_mu_);
        if (exported_) quor_log("USBIP: %s withdrawn\n", USBIP_EXPORT_BUSID);
        exported_ = false;
        if (waiting_fd_ >= 0) sock_close(waiting_fd_);
        waiting_fd_ = -1;
        client_came_.notify_all();
    }
    drop_stream(nullptr);
}

void UsbipServerBus::close_device() {
    close_stream();
}

int UsbipServerBus::read_request(uint8_t* buf, size_t size, int timeout_ms) {
    {
        // The reader alone takes over a new client's connection, so the
        // socket it reads is never closed under it.
        std::lock_guard lk(export_mu_);
        if (waiting_fd_ >= 0 && !stream_alive()) {
            close_stream();
            if (adopt_stream(waiting_fd_) != 0) sock_close(waiting_fd_);
            waiting_fd_ = -1;
            serving_client_ = true;
        }
    }
    const int n = StreamBus::read_request(buf, size, timeout_ms);
    if (n >= 0) return n;
    std::unique_lock lk(export_mu_);
    if (!exported_) return -1;
    if (serving_client_) {
        serving_client_ = false;
        quor_log("USBIP: the client left; %s stays exported\n", USBIP_EXPORT_BUSID);
    }
    client_came_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                          [this] { return waiting_fd_ >= 0 || !exported_; });
    return exported_ ? 0 : -1;
}

int start_usbip_server(const std::string& listen, const std::string& allow) {
    std::string where = listen;
    if (where.empty()) {
        const char* vbus = getenv("QUOR_VBUS");
        if (vbus && strncmp(vbus, USBIP_PREFIX, sizeof(USBIP_PREFIX) - 1) == 0)
            where = vbus + sizeof(USBIP_PREFIX) - 1;
        else if (!vbus || !*vbus)
            where = default_usbip_listen();
        if (where.empty()) return 0;
    }
    uint32_t address = 0;
    uint16_t port = 0;
    if (!usbip_parse_listen(where, &address, &port)) {
        quor_log("Quor ERR: USB/IP server address \"%s\" is not A.B.C.D[:PORT]\n", where.c_str());
        return -1;
    }
    UsbipAllowList allowed;
    if (!allowed.parse(allow)) {
        quor_log("Quor ERR: USB/IP allow list \"%s\" is not addresses or A.B.C.D/N prefixes\n",
                 allow.c_str());
        return -1;
    }
    std::lock_guard lk(g_server_mu);
    if (g_server) return 0;
    // The server may be the first user of the network in the process.
    if (net_startup() != 0) {
        quor_log("Quor ERR: USB/IP server: the network is not available\n");
        return -1;
    }
    auto server = std::make_shared<UsbipServerBus>();
    if (server->start(address, port, allowed) != 0) return -1;
    g_server = std::move(server);
    return 0;
}

std::shared_ptr<UsbipServerBus> usbip_server() {
    std::lock_guard lk(g_server_mu);
    return g_server;
}

std::unique_ptr<VirtualBus> make_usbip_bus() {
    std::shared_ptr<UsbipServerBus> server = usbip_server();
    if (!server && start_usbip_server("", "") == 0) server = usbip_server();
    // A server that could not start still answers the look-up, with the
    // reason it is not there.
    if (!server) server = std::make_shared<UsbipServerBus>();
    return std::make_unique<SharedUsbipBus>(std::move(server));
}

}  // namespace quor
