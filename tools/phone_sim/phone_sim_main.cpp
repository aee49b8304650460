// quor-phone-sim: a desk phone on the loopback address for tests and demos.
// It listens for the connector's control channel, serves one connection at a
// time, answers as a phone does, records every frame, and takes scripted
// events and faults as commands on standard input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim_commands.h"
#include "sim_session.h"
#include "sim_state.h"

namespace {

constexpr int LISTEN_BACKLOG = 4;

int open_listener(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s, LISTEN_BACKLOG) != 0) {
        int saved = errno;
        close(s);
        errno = saved;
        return -1;
    }
    return s;
}

void accept_loop(SimState& st, int listener) {
    while (!st.quit) {
        pollfd p{listener, POLLIN, 0};
        int ready = poll(&p, 1, SIM_TICK_MS);
        if (ready < 0 && errno != EINTR) {
            st.out.event("note: poll failed: %s", strerror(errno));
            return;
        }
        if (ready <= 0) continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED)
                st.out.event("note: accept failed: %s", strerror(errno));
            continue;
        }
        serve_connection(st, fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions opt;
    int parsed = parse_sim_options(argc, argv, &opt);
    if (parsed != 0) return parsed > 0 ? 0 : 2;

    SimState st(opt);
    if (!opt.transcript_path.empty() && st.out.open_transcript(opt.transcript_path.c_str()) != 0) {
        fprintf(stderr, "quor-phone-sim: cannot write %s: %s\n", opt.transcript_path.c_str(),
                strerror(errno));
        return 1;
    }
    int listener = open_listener(opt.port);
    if (listener < 0) {
        fprintf(stderr, "quor-phone-sim: cannot listen on 127.0.0.1:%u: %s\n", opt.port,
                strerror(errno));
        return 1;
    }

    // SIGTERM and SIGINT are taken by one thread with sigwait, so quitting
    // runs ordinary code rather than a signal handler. Threads started after
    // this inherit the blocked mask.
    sigset_t quit_signals;
    sigemptyset(&quit_signals);
    sigaddset(&quit_signals, SIGTERM);
    sigaddset(&quit_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &quit_signals, nullptr);
    std::thread signal_thread([&] {
        int sig = 0;
        sigwait(&quit_signals, &sig);
        st.request_quit();
    });
    std::thread command_thread([&] { run_command_reader(st); });

    st.out.event("listening %u", opt.port);
    accept_loop(st, listener);

    st.request_quit();
    pthread_kill(signal_thread.native_handle(), SIGTERM);
    signal_thread.join();
    command_thread.join();
    close(listener);
    return 0;
}
