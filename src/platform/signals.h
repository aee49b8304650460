// Requests to stop from outside the program (SIGTERM, SIGINT), taken by one
// thread of their own so that no other thread is ever interrupted by them.
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

}  // namespace quor
