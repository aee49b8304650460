// The phone log service: while it runs, the phone's syslog datagrams on UDP
// port 514 are kept in an 8 MiB ring buffer; when the user stops it, the
// buffer is saved, oldest byte first, to a file the user picks. The tray's
// hidden log items also tell the phone, over the control channel, to send its
// log to this PC or to keep it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/controller.h"

namespace quor {

constexpr uint16_t SYSLOG_PORT = 514;
constexpr size_t SYSLOG_RING_SIZE = 8 * 1024 * 1024;
// Bytes kept of one datagram; the rest of a longer one is dropped.
constexpr size_t SYSLOG_DATAGRAM_MAX = 2048;

// Values of g_syslog.fill.
enum SyslogFill : int {
    SYSLOG_EMPTY = 0,    // nothing received yet
    SYSLOG_DATA = 1,     // data received, the buffer has not wrapped
    SYSLOG_WRAPPED = 2,  // the buffer has wrapped at least once
};

// Where the log is to be saved; empty means it is not saved. Written by the
// UI thread before it wakes the receiver, read by the receiver after.
class SyslogPath {
  public:
    void set(const std::string& path) {
        std::lock_guard lk(mu_);
        path_ = path;
    }
    std::string get() {
        std::lock_guard lk(mu_);
        return path_;
    }

  private:
    std::mutex mu_;
    std::string path_;
};

// The service as the UI thread and the receiver share it.
struct SyslogService {
    // The bound socket while the service runs, -1 when it is stopped. The
    // tray menu reads it for the text of item 32784.
    std::atomic<int> socket{-1};
    // 1 from a successful start until the receiver has ended.
    std::atomic<int> running{0};
    std::atomic<int> fill{SYSLOG_EMPTY};  // a SyslogFill
    SyslogPath path;
};
extern SyslogService g_syslog;

// Allocates the ring buffer, binds UDP port 514 and starts syslog_thread.
// While paired the port is bound on the control connection's local address
// only (where LOG_ROUTE sends the phone's log), otherwise on every address.
// -1 when the service runs already, the buffer cannot be had or the port
// cannot be bound (each logged).
int start_log_service();

// Stops a running service: wakes the receiver, which saves and ends. With a
// controller DLG and data received, the user is first asked where to save, and
// the window shows "Save the log success!" once the file is written; without
// one (the exit paths) nothing is saved. -1 when the service was not running
// or is already stopping.
int stop_log_service(Controller* dlg);

// Tray item 32784: start when stopped, otherwise stop, asking DLG.
int toggle_log_service(Controller* dlg);

// The receiver, on its own thread: fills RING (SYSLOG_RING_SIZE bytes, owned
// by the thread from now on) from FD until stop_log_service wakes it, takes
// in what is still queued, then saves, closes FD and marks the service
// stopped. Once a pairing has named the phone, only the phone's datagrams
// are kept; others are dropped, counted and logged.
void syslog_thread(int fd, uint8_t* ring);

// Appends N bytes (N <= SIZE) at *POS of the ring BUF of SIZE bytes, wrapping
// to its start at the end, and returns the fill state after it: a datagram
// that reaches the end exactly wraps the buffer and leaves *POS at its start.
int syslog_ring_append(uint8_t* buf, size_t size, size_t* pos, int fill, const uint8_t* data,
                       size_t n);

// Writes the ring to PATH, replacing any old content: with FILL
// SYSLOG_WRAPPED the older part from POS to the end first, then the newer
// part from the start to POS. -1 when there is nothing to write, PATH is
// empty, or the file cannot be opened or fully written.
int write_log_file(const std::string& path, size_t pos, const uint8_t* buf, size_t size, int fill);

// The save dialog, named "Log%Y%m%d%H%M%S" after the local time, with filter
// text 133; fills g_syslog.path. 0 when the user chose a file, -1 when the
// dialog was cancelled.
int ask_log_path(Controller* dlg);

// Tray items 32785 and 32787: LOG_ROUTE asking the phone to send its log to
// this PC (at the control connection's local address) or back to itself.
// -1, and nothing sent, without a control connection.
int send_log_to_pc();
int send_log_to_phone();

}  // namespace quor
