// Everything quor-host-sim reports, one fact per line, each line written
// whole and flushed at once from any thread. Lines starting "error: " (the
// device broke the protocol, a command failed) and "check-failed: " (a
// descriptor or reply failed a check) are counted: the exit code says whether
// any was printed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "host_text.h"

class HostOutput {
  public:
    using Sink = std::function<void(const std::string& line)>;

    // Lines go to SINK (without the newline); the default writes to stdout.
    explicit HostOutput(Sink sink = Sink());

    void line(const std::string& text);
    void linef(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const std::string& what);
    void check_failed(const std::string& what);
    void check_failed(const CheckList& checks);

    int failures() const { return m_failures.load(); }

  private:
    std::mutex m_mutex;
    Sink m_sink;
    std::atomic<int> m_failures{0};
};
