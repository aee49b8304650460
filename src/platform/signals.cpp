#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace quor {

namespace {
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
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

}  // namespace quor
