// The part both bus back ends share: the URB stream over a connected
// stream socket, with the bookkeeping of pending requests that lets the bus
// answer unlinks, refuse second answers and answer control requests the
// device logic leaves unanswered.
#pragma once

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/vbus.h"
#include "platform/vbus_wire.h"

namespace quor {

class StreamBus : public VirtualBus {
  public:
    StreamBus();
    ~StreamBus() override;

    int read_request(uint8_t* buf, size_t size, int timeout_ms) override;
    void finish_request(uint32_t seqnum) override;
    int write_reply(const uint8_t* pdu, size_t len) override;
    size_t write_replies(const Reply* replies, size_t count) override;
    void set_unlink_handler(UnlinkHandler handler) override;

    // Takes FD, a connected stream socket, as the URB stream of a new
    // plug-in; every earlier request is forgotten. 0, or -1 when a stream
    // is already in use.
    int adopt_stream(int fd);
    // Ends the URB stream (the host sees the device go away) and wakes the
    // reader; the socket stays open until close_stream. WHY, when given,
    // is logged as the reason of an unexpected end.
    void drop_stream(const char* why);
    // Closes the socket; no thread may use the stream any more.
    void close_stream();
    bool stream_alive();

  protected:
    // A host that closes the stream is not logged as a failure (a USB/IP
    // client that detaches).
    bool end_of_stream_is_normal_ = false;

  private:
    // Takes the next complete PDU out of the receive buffer: a CMD_SUBMIT
    // is copied to BUF and its length returned, a CMD_UNLINK is answered
    // here. 0 when the buffer holds no complete request, -1 after dropping
    // the stream for a malformed one.
    int take_request(uint8_t* buf, size_t size);
    void answer_unlink(const uint8_t* hdr);
    // Under mu_: appends the wire form of the reply PDU to tx_; false when
    // it is not sent (not pending, or malformed).
    bool add_reply_locked(const uint8_t* pdu, size_t len);
    // Under mu_: sends WIRE whole, or drops the stream.
    int send_locked(const uint8_t* wire, size_t len);
    void drop_locked(const char* why);

    std::atomic<int> fd_{-1};
    std::vector<uint8_t> rx_;  // reader thread only
    size_t rx_len_ = 0;
    // The last receive left the socket empty (reader thread only).
    bool rx_drained_ = false;

    std::mutex mu_;  // everything below, and every write to the socket
    bool alive_ = false;
    std::unordered_map<uint32_t, UsbipRequest> pending_;
    UsbipControlState control_;
    UnlinkHandler on_unlink_;
    std::vector<uint8_t> tx_;  // the reply being sent
};

}  // namespace quor
