// Requests to stop from outside the program (SIGTERM, SIGINT, and SIGHUP when
// the terminal or the session goes away), taken by one thread of their own.
#pragma once

#include <functional>

namespace quor {

// Holds the stop signals back from every thread started after this call,
// and ignores SIGPIPE, so a write to a closed connection reports an error
// instead of ending the process. Call it before the first thread starts.
void hold_stop_signals();

// Starts a detached thread that waits for one stop signal held back by
// hold_stop_signals and then calls ON_STOP once.
void on_stop_signal(std::function<void()> on_stop);

// For a program that starts other programs (the desktop's file and link
// openers), which must not inherit stop signals held back: a handler notes
// each stop signal and a thread of its own calls ON_STOP once for the first.
// Interrupted system calls are restarted. Call it once.
void watch_stop_signals(std::function<void()> on_stop);

}  // namespace quor
