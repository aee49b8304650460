// The simulator's current control connection, shared by the thread that
// serves it (the only reader, and the owner that closes it) and the command
// thread. Every frame in either direction is written to the transcript under
// the same lock as the send, so an answer is never recorded before the frame
// that caused it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/ctrl_frame.h"
#include "sim_output.h"

class SimLink {
  public:
    using Clock = std::chrono::steady_clock;

    explicit SimLink(SimOutput& out) : m_out(out) {}

    // Serving thread: a new connection begins ("connected") or ends; detach
    // closes the socket ("closed").
    void attach(int fd);
    void detach();

    // Serving thread: records a received frame ("P:" line, "recv NAME").
    void record_received(const CtrlFrame& f);

    // Any thread. Sends one frame and records it ("T:" line, "sent NAME").
    // Returns -1, with a note, when there is no connection or the send failed.
    int send(uint8_t type, const uint8_t* payload = nullptr, size_t len = 0);

    // Any thread. Sends bytes as they are, in one send call.
    int send_raw(const uint8_t* bytes, size_t len);

    // Any thread. Ends the connection abruptly (no UNPAIR, reset on close);
    // the serving thread sees the end of input and detaches. -1 without a
    // connection.
    int drop();

    // Any thread. Sends UNPAIR and gives the connector 2 s for its UNPAIR_ACK.
    int start_unpair();
    bool unpair_pending();
    bool unpair_overdue(Clock::time_point now);

    // Serving thread: no more frames go out on this connection (FIN sent),
    // while the connector's last frames are still read.
    void finish_sending();

  private:
    int send_locked(const uint8_t* bytes, size_t len);
    int send_frame_locked(uint8_t type, const uint8_t* payload, size_t len);

    SimOutput& m_out;
    std::mutex m_mutex;
    int m_fd = -1;
    bool m_sending_done = false;
    bool m_unpair_pending = false;
    Clock::time_point m_unpair_deadline{};
};
