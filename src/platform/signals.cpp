#include "platform/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace quor {

namespace {
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The write end of the pipe that watch_stop_signals' handler notes a signal
// in; only write(), which is async-signal-safe, touches it there.
int g_stop_pipe_write = -1;

void note_stop_signal(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!write(g_stop_pipe_write, &byte, 1);
    errno = saved;
}
}  // namespace

void hold_stop_signals() {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void on_stop_signal(std::function<void()> on_stop) {
    std::thread([on_stop = std::move(on_stop)] {
        const sigset_t set = stop_signals();
        int sig = 0;
        if (sigwait(&set, &sig) == 0) on_stop();
    }).detach();
}

void watch_stop_signals(std::function<void()> on_stop) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_stop_pipe_write = fds[1];
    struct sigaction sa {};
    sa.sa_handler = note_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    std::thread([fd = fds[0], on_stop = std::move(on_stop)] {
        char byte;
        ssize_t n;
        do {
            n = read(fd, &byte, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) on_stop();
    }).detach();
}

}  // namespace quor
