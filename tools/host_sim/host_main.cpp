// quor-host-sim: a USB host on the socket bus. See --help.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "host_options.h"
#include "host_output.h"
#include "host_session.h"

namespace {

// SIGTERM and SIGINT quit the session. They are taken by sigwait on a thread
// of their own (blocked everywhere else), so quitting can take locks and wake
// waiting threads, which a signal handler could not. SIGUSR1 ends that
// thread when the session ends by itself.
sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    int r = parse_host_options(argc, argv, getenv("QUOR_VBUS"), &options);
    if (r != 0) return r > 0 ? 0 : 2;

    signal(SIGPIPE, SIG_IGN);
    sigset_t set = watched_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    HostOutput out;
    HostSession session(options, out, STDIN_FILENO);
    std::thread signals([&session, set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0 || sig == SIGUSR1) return;
            session.request_quit();
        }
    });
    int code = session.run();
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    return code;
}
