// Ctrl-C, Ctrl-Break, closing the console window, log-off and shut-down
// reach a console program as control events, each on a thread of its own
// that the system starts; the handler hands them to the stop callback.
#include <windows.h>

#include <functional>
#include <mutex>

#include "platform/signals.h"

namespace quor {

namespace {
std::mutex g_stop_mu;
std::function<void()> g_on_stop;
bool g_stopped = false;

BOOL WINAPI on_control_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    std::function<void()> on_stop;
    {
        std::lock_guard lk(g_stop_mu);
        if (g_stopped || !g_on_stop) return g_on_stop ? TRUE : FALSE;
        g_stopped = true;
        on_stop = g_on_stop;
    }
    on_stop();
    // Returning from a close, log-off or shut-down event ends the process
    // at once: give the program the time the system allows to finish.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

void watch(std::function<void()> on_stop) {
    std::lock_guard lk(g_stop_mu);
    g_on_stop = std::move(on_stop);
    g_stopped = false;
    SetConsoleCtrlHandler(on_control_event, TRUE);
}
}  // namespace

// Control events never interrupt the program's own threads: there is
// nothing to hold.
void hold_stop_signals() {}

void on_stop_signal(std::function<void()> on_stop) {
    watch(std::move(on_stop));
}

void watch_stop_signals(std::function<void()> on_stop) {
    watch(std::move(on_stop));
}

}  // namespace quor
