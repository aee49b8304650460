#include "host_session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "enumerator.h"

namespace {

constexpr uint16_t DEFAULT_LANGUAGE = 0x0409;
constexpr size_t MAX_COMMAND_LINE = 64 * 1024;

}  // namespace

HostSession::HostSession(const HostOptions& options, HostOutput& out, int input_fd)
    : m_options(options), m_out(out), m_input_fd(input_fd) {
    if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
}

HostSession::~HostSession() {
    release_device();
    for (int fd : m_wake) {
        if (fd >= 0) close(fd);
    }
}

void HostSession::wake() {
    char b = 1;
    // A failed write means the pipe is full: a wake-up is pending anyway.
    ssize_t ignored = write(m_wake[1], &b, 1);
    (void)ignored;
}

void HostSession::request_quit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        if (m_conn) m_conn->drop();
    }
    m_quit_cv.notify_all();
    wake();
}

void HostSession::pause_ms(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_quit_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_quit; });
}

void HostSession::queue_line(const std::string& text) {
    std::string line = text;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HostCommand cmd;
    std::string error;
    int r = parse_command(line, &cmd, &error);
    if (r == 0) {
        m_queue.push_back(cmd);
    } else if (r < 0) {
        m_out.error("command: " + error);
    }
}

int HostSession::load_script() {
    if (m_options.script.empty()) return 0;
    std::ifstream in(m_options.script);
    if (!in) {
        fprintf(stderr, "quor-host-sim: cannot read script %s\n", m_options.script.c_str());
        return -1;
    }
    for (std::string line; std::getline(in, line);) queue_line(line);
    return 0;
}

void HostSession::read_input() {
    char buf[4096];
    ssize_t n = read(m_input_fd, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        m_input_open = false;
        if (!m_input_partial.empty()) queue_line(m_input_partial);
        m_input_partial.clear();
        return;
    }
    m_input_partial.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = m_input_partial.find('\n', start)) != std::string::npos; start = nl + 1) {
        queue_line(m_input_partial.substr(start, nl - start));
    }
    m_input_partial.erase(0, start);
    if (m_input_partial.size() > MAX_COMMAND_LINE) {
        m_out.error("command: line longer than 64 KiB dropped");
        m_input_partial.clear();
    }
}

void HostSession::attach(int fd) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_conn = std::make_unique<HostConnection>(fd, m_out, m_options.trace, [this] { wake(); });
        if (m_quit) m_conn->drop();
    }
    m_conn->start();
    m_out.line("connected");
    Enumerator enumerator(*m_conn, m_out, m_options.timeout_ms);
    enumerator.run();
    m_language = enumerator.model().language ? enumerator.model().language : DEFAULT_LANGUAGE;
    m_softphone = std::make_unique<Softphone>(*m_conn, m_out, m_options.timeout_ms);
    if (m_options.exit_after_enumeration) {
        pause_ms(static_cast<uint32_t>(m_options.linger_ms));
        request_quit();
    }
}

void HostSession::release_device() {
    m_softphone.reset();
    std::unique_ptr<HostConnection> conn;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        conn = std::move(m_conn);
    }
    if (!conn) return;
    conn.reset();
    m_out.line("disconnected");
}

void HostSession::execute(const HostCommand& cmd) {
    switch (cmd.kind) {
        case HostCommand::QUIT:
            request_quit();
            break;
        case HostCommand::SLEEP:
            pause_ms(cmd.ms);
            break;
        case HostCommand::ECHO:
            m_out.line("echo " + cmd.text);
            break;
        case HostCommand::DETACH:
            m_conn->drop();
            release_device();
            break;
        case HostCommand::STREAM:
            run_stream_command(cmd.stream, *m_conn, m_out);
            break;
        case HostCommand::SOFTPHONE:
            m_softphone->run(cmd.softphone);
            break;
        case HostCommand::UNLINK:
            run_unlink_command(cmd.unlink, *m_conn, m_out);
            break;
        case HostCommand::SEND_RAW:
            if (m_conn->send_raw(cmd.data) == 0)
                m_out.linef("sent raw %zu bytes", cmd.data.size());
            else
                m_out.line("send-raw: the connection is gone");
            break;
        case HostCommand::ENUMERATE: {
            Enumerator enumerator(*m_conn, m_out, m_options.timeout_ms);
            enumerator.run();
            if (enumerator.model().language) m_language = enumerator.model().language;
            break;
        }
        default:
            run_transfer_command(cmd, *m_conn, m_out, m_options.timeout_ms, m_language);
            break;
    }
}

bool HostSession::run_commands() {
    for (;;) {
        if (m_conn && !m_conn->alive()) release_device();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_quit) return false;
        }
        if (m_queue.empty()) return true;
        if (command_needs_device(m_queue.front()) && !m_conn) return true;
        HostCommand cmd = m_queue.front();
        m_queue.pop_front();
        execute(cmd);
    }
}

int HostSession::run() {
    if (m_wake[0] < 0) {
        fprintf(stderr, "quor-host-sim: no wake-up pipe\n");
        return 2;
    }
    VbusAddress addr;
    std::string error;
    if (parse_vbus_address(m_options.listen, &addr, &error) != 0 ||
        m_listener.open(addr, &error) != 0) {
        fprintf(stderr, "quor-host-sim: %s\n", error.c_str());
        return 2;
    }
    if (load_script() != 0) return 2;
    m_out.line("listening " + m_listener.name());

    while (run_commands()) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {m_wake[0], POLLIN, 0};
        int input = m_input_open ? static_cast<int>(n) : -1;
        if (m_input_open) fds[n++] = {m_input_fd, POLLIN, 0};
        int listener = m_conn ? -1 : static_cast<int>(n);
        if (!m_conn) fds[n++] = {m_listener.fd(), POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            m_out.error("poll failed");
            break;
        }
        if (fds[0].revents) {
            char drain[64];
            while (read(m_wake[0], drain, sizeof(drain)) > 0) {
            }
        }
        if (input >= 0 && fds[input].revents) read_input();
        if (listener >= 0 && (fds[listener].revents & POLLIN)) {
            int fd = m_listener.accept_connection();
            if (fd >= 0) attach(fd);
        }
    }
    release_device();
    return m_out.failures() > 0 ? 1 : 0;
}
