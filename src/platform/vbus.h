// The virtual USB bus that the emulated phone is plugged into. Three back
// ends carry the USB/IP URB stream over a stream socket: the kernel's
// vhci_hcd, a user-space USB host reached at the address in the
// environment variable QUOR_VBUS ("unix:PATH" or "tcp:A.B.C.D:PORT"), and
// a USB/IP server that USB/IP clients import the device from (the front
// ends' --usbip-listen, or QUOR_VBUS "usbip:A.B.C.D[:PORT]").
//
// The device logic speaks the original driver's dialect: a request comes
// out of read_request exactly as on the wire (big-endian header words), and
// replies go into write_reply with little-endian header words and
// isochronous packet descriptors. The bus converts replies to the wire,
// answers CMD_UNLINK itself, never answers a request twice, and answers the
// control requests the device logic leaves unanswered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace quor {

constexpr size_t VBUS_PATH_SIZE = 512;
constexpr size_t PLUGIN_RECORD_SIZE = 16;
constexpr size_t PORT_STATUS_SIZE = 128;
constexpr size_t UNPLUG_RECORD_SIZE = 4;
// Byte of the plug-in record that carries the port.
constexpr size_t PLUGIN_RECORD_PORT = 10;

class VirtualBus {
  public:
    using UnlinkHandler = std::function<void(uint32_t seqnum)>;

    virtual ~VirtualBus() = default;

    // Driver operations. Failures are logged with a "Quor ERR: " line.
    // Copies the bus's device path, NUL-terminated, into PATH: 0 or -1.
    virtual int find_vbus_device_path(char* path, size_t size) = 0;
    virtual int open_device(const char* path) = 0;  // 0 or -1
    // Fills OUT with the port table: byte i (1 to 127) is 0 when port i is
    // free. Returns the number of bytes filled (128), or -1.
    virtual int port_status(uint8_t* out, size_t size) = 0;
    // Plugs the device into the port in byte 10 of the 16-byte plug-in
    // record: 0 accepted, 1 refused.
    virtual int plugin(const uint8_t* record, size_t len) = 0;
    // Unplugs the device from the port in byte 0 of the unplug record.
    virtual void unplug(const uint8_t* record, size_t len) = 0;
    // Ends the use of the bus; no thread may use it any more.
    virtual void close_device() = 0;
    // The device's descriptor and whole configuration descriptor, given
    // before each plug-in, for a bus that describes the device to its
    // hosts before they enumerate it. Ignored by the others.
    virtual void describe_device(const uint8_t* /*device*/, size_t /*device_len*/,
                                 const uint8_t* /*config*/, size_t /*config_len*/) {}

    // Request stream; one reader thread, any number of writers.
    // Waits up to TIMEOUT_MS for the next request (0: takes what has come
    // in, without waiting) and copies the whole PDU
    // (header, OUT data, isochronous packet descriptors) into BUF. Returns
    // its length, 0 when none came in time, -1 when there is no connection
    // to the host (never plugged in, unplugged, or dropped after a
    // malformed PDU).
    virtual int read_request(uint8_t* buf, size_t size, int timeout_ms) = 0;
    // The reader has handed request SEQNUM to the device logic and its
    // handler has returned: a control request still unanswered gets the
    // bus's own answer now.
    virtual void finish_request(uint32_t seqnum) = 0;
    // Sends the device's reply to a pending request: 0, or -1 when it was
    // not sent (the request was unlinked or answered already, the reply is
    // malformed, or the connection is gone).
    virtual int write_reply(const uint8_t* pdu, size_t len) = 0;
    // Sends REPLIES in order, each as write_reply would; a bus
    // that can sends them with one write. The count that was sent.
    struct Reply {
        const uint8_t* pdu;
        size_t len;
    };
    virtual size_t write_replies(const Reply* replies, size_t count) {
        size_t sent = 0;
        for (size_t i = 0; i < count; ++i)
            if (write_reply(replies[i].pdu, replies[i].len) == 0) ++sent;
        return sent;
    }
    // Called when the host unlinks a request that is still pending, before
    // the unlink is confirmed; the device logic drops the request.
    virtual void set_unlink_handler(UnlinkHandler handler) = 0;
};

// The USB/IP server when it runs, else the bus named by QUOR_VBUS, or
// vhci_hcd when it is not set.
std::unique_ptr<VirtualBus> make_virtual_bus();

}  // namespace quor
