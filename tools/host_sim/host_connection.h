// One attached device: the stream socket it connected on, the reader thread
// that splits its replies and completes URBs, and the sending side that the
// host's threads share. A reply that the Linux host would refuse ends the
// connection here too (the device is dropped); a reply that is only odd is
// reported and the stream goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host_output.h"
#include "urb_tracker.h"
#include "usbip_wire.h"

// devid in every request; vhci_hcd sends bus 1, device 2 like this.
constexpr uint32_t HOST_DEVID = 0x00010002;

enum class UrbType { CONTROL, INTERRUPT, ISO };

struct UrbRequest {
    UrbType type = UrbType::CONTROL;
    uint8_t endpoint = 0;  // address; bit 7 set for IN (control: taken from the setup)
    uint32_t buffer_length = 0;
    std::vector<uint8_t> out_data;  // OUT transfers: buffer_length bytes
    uint8_t setup[8] = {};
    uint32_t interval = 0;
    std::vector<UsbipIsoPacket> iso;
};

class HostConnection {
  public:
    enum UnlinkResult {
        UNLINK_ANSWERED = 0,    // RET_UNLINK came; its status is given
        UNLINK_NOT_NEEDED = 1,  // the URB was answered before the CMD_UNLINK went out
        UNLINK_TIMEOUT = 2,     // no RET_UNLINK in time
        UNLINK_FAILED = -1,     // no such URB, or the connection is gone
    };

    // Takes FD. ON_CLOSED runs on the reader thread when the connection ends
    // for any reason.
    HostConnection(int fd, HostOutput& out, bool trace, std::function<void()> on_closed);
    ~HostConnection();
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    void start();

    // Sends a CMD_SUBMIT. With DONE the result is delivered to it on the
    // reader thread; without, wait() collects it. 0, or -1 when the request
    // is malformed or could not be sent.
    int submit(const UrbRequest& req, UrbCallback done, uint32_t* seqnum);
    UrbTracker::WaitResult wait(uint32_t seqnum, int timeout_ms, UrbResult* result);
    UnlinkResult unlink(uint32_t seqnum, int timeout_ms, int32_t* status);

    // Sends BYTES as they are, for PDUs the tracker must not know of (a
    // malformed request). 0, or -1 when the send failed.
    int send_raw(const std::vector<uint8_t>& bytes) { return send_pdu(bytes); }

    // Ends the connection from the host's side; the device reads EOF.
    void drop();
    // False once the device closed the connection or the host dropped it.
    bool alive() const { return m_alive.load() && !m_dropped.load(); }

  private:
    void reader_loop();
    int send_pdu(const std::vector<uint8_t>& pdu);
    // Completes the URB a whole reply answers and reports its problems.
    void dispatch(RetPdu& pdu);

    int m_fd;
    HostOutput& m_out;
    bool m_trace;
    std::function<void()> m_on_closed;
    UrbTracker m_tracker;
    std::mutex m_send_mutex;
    std::atomic<bool> m_alive{true};
    std::atomic<bool> m_dropped{false};  // the host ended the connection
    std::thread m_reader;
};
