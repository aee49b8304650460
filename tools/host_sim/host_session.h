// The host's main loop: waits for a device to plug in, enumerates it, runs
// the command stream (script, then standard input) against it, and notices
// unplugs; then waits for the next device. One device at a time: a second
// connection waits in the listen backlog until the first is gone.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "host_commands.h"
#include "host_connection.h"
#include "host_options.h"
#include "host_output.h"
#include "softphone.h"
#include "vbus_listener.h"

class HostSession {
  public:
    // Commands are read from INPUT_FD (standard input in the program).
    HostSession(const HostOptions& options, HostOutput& out, int input_fd);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Runs until quit; the exit code (0 clean, 1 failures printed, 2 set-up).
    int run();
    // From any thread: leave as soon as possible (the device is unplugged).
    void request_quit();

  private:
    int load_script();
    void read_input();
    void queue_line(const std::string& line);
    void attach(int fd);
    void release_device();
    // Runs queued commands while they can run; false once quit was asked.
    bool run_commands();
    void execute(const HostCommand& cmd);
    void pause_ms(uint32_t ms);
    void wake();

    HostOptions m_options;
    HostOutput& m_out;
    VbusListener m_listener;
    int m_input_fd;
    int m_wake[2] = {-1, -1};
    bool m_input_open = true;
    std::string m_input_partial;
    std::deque<HostCommand> m_queue;
    uint16_t m_language = 0;  // of the attached device

    std::mutex m_mutex;  // m_conn and m_quit, shared with request_quit()
    std::condition_variable m_quit_cv;
    std::unique_ptr<HostConnection> m_conn;
    std::unique_ptr<Softphone> m_softphone;  // of m_conn; the session thread's only
    bool m_quit = false;
};
