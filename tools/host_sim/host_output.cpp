#include "host_output.h"

#include <cstdio>

HostOutput::HostOutput(Sink sink) : m_sink(std::move(sink)) {}

void HostOutput::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sink) {
        m_sink(text);
        return;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void HostOutput::linef(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrfmt(fmt, ap);
    va_end(ap);
    line(text);
}

void HostOutput::error(const std::string& what) {
    ++m_failures;
    line("error: " + what);
}

void HostOutput::check_failed(const std::string& what) {
    ++m_failures;
    line("check-failed: " + what);
}

void HostOutput::check_failed(const CheckList& checks) {
    for (const std::string& f : checks.failures()) check_failed(f);
}
