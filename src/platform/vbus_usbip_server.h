// A USB/IP server as the virtual bus: the paired phone is exported as
// device "1-1" to one client at a time, over TCP, to any USB/IP client
// (`usbip attach -r HOST -b 1-1`) on this PC or another. After the import
// the client's connection carries the URB stream, served by the same code
// as the other back ends.
//
// The server listens for the whole life of the program. Plugging in
// exports the device, unplugging withdraws it and closes the client's
// connection. A client that goes away leaves the device exported for the
// next import: the request stream then just has no requests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/vbus_stream.h"
#include "platform/vbus_usbip_ops.h"

namespace quor {

class SockWaker;

class UsbipServerBus : public StreamBus {
  public:
    UsbipServerBus();
    ~UsbipServerBus() override;

    // Listens on ADDRESS:PORT (host byte order; port 0 picks a free one)
    // and accepts imports from the addresses ALLOW allows: 0, or -1 after
    // logging why not.
    int start(uint32_t address, uint16_t port, const UsbipAllowList& allow);
    // The port listened on, once started.
    uint16_t port() const { return port_; }
    // Stops listening; an imported client keeps its connection until the
    // device is unplugged.
    void stop();
    // How long a client's connection may stay silent to keepalive probes,
    // or leave sent data unacknowledged, before it counts as gone (a
    // broken network or a client that lost power sends no end of stream).
    // Tests shorten it; for connections imported after the call.
    void set_dead_peer_ms(int ms) { dead_peer_ms_ = ms; }

    int find_vbus_device_path(char* path, size_t size) override;
    int open_device(const char* path) override;
    int port_status(uint8_t* out, size_t size) override;
    int plugin(const uint8_t* record, size_t len) override;
    void unplug(const uint8_t* record, size_t len) override;
    void close_device() override;
    void describe_device(const uint8_t* device, size_t device_len, const uint8_t* config,
                         size_t config_len) override;
    // While the device is exported and no client holds it, waits up to
    // TIMEOUT_MS for one and returns 0; -1 only once it is withdrawn.
    int read_request(uint8_t* buf, size_t size, int timeout_ms) override;

  private:
    void serve();
    void handle_connection(int fd, uint32_t peer);
    bool held_locked();

    int listen_fd_ = -1;
    std::unique_ptr<SockWaker> wake_;  // wakes the listener to stop
    uint16_t port_ = 0;
    std::atomic<int> dead_peer_ms_{30000};
    std::string address_text_;
    UsbipAllowList allow_;
    std::thread listener_;

    std::mutex export_mu_;  // everything below; taken before the stream's lock
    std::condition_variable client_came_;
    bool described_ = false;
    bool exported_ = false;
    UsbipDeviceInfo device_;
    bool reserved_ = false;        // an import is being answered
    int waiting_fd_ = -1;          // imported, not yet taken over by the reader
    bool serving_client_ = false;  // the reader's: a client's stream was taken over
};

// The program-wide server, started by the front end when asked for with
// LISTEN ("A.B.C.D[:PORT]"), or, when LISTEN is empty, by QUOR_VBUS
// "usbip:A.B.C.D[:PORT]", or else at default_usbip_listen(). ALLOW: see
// UsbipAllowList. 0 when started or not asked for, -1 after logging why it
// could not be.
int start_usbip_server(const std::string& listen, const std::string& allow);

// Where the server listens when nothing else was chosen: empty (no server)
// where the system has a bus of its own, loopback where the server is the
// only bus.
std::string default_usbip_listen();
// The running server, or null.
std::shared_ptr<UsbipServerBus> usbip_server();
// A bus for one attachment on the program-wide server, starting it from
// QUOR_VBUS when it is not running yet.
std::unique_ptr<VirtualBus> make_usbip_bus();

}  // namespace quor
