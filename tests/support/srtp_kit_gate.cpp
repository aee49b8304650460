// A gate in the SRTP library's key derivation, for tests: built into a copy
// of the library whose calls to srtp_create are wrapped (ld --wrap), it lets
// a test hold a context's creation half-way and look at what its caller
// holds meanwhile.
#include <srtp2/srtp.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::mutex g_mu;
std::condition_variable g_cv;
bool g_armed = false;
bool g_entered = false;
}  // namespace

extern "C" {

srtp_err_status_t __real_srtp_create(srtp_t* session, const srtp_policy_t* policy);

srtp_err_status_t __wrap_srtp_create(srtp_t* session, const srtp_policy_t* policy) {
    {
        std::unique_lock lk(g_mu);
        if (g_armed) {
            g_entered = true;
            g_cv.notify_all();
            g_cv.wait(lk, [] { return !g_armed; });
        }
    }
    return __real_srtp_create(session, policy);
}

// The next context creation stops before deriving its keys.
void srtp_kit_gate_arm() {
    std::lock_guard lk(g_mu);
    g_armed = true;
    g_entered = false;
}

// 1 once a creation stopped at the gate, 0 when TIMEOUT_MS passed first.
int srtp_kit_gate_wait_stopped(int timeout_ms) {
    std::unique_lock lk(g_mu);
    return g_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [] { return g_entered; }) ? 1
                                                                                              : 0;
}

// Lets the stopped creation (and every later one) go on.
void srtp_kit_gate_open() {
    std::lock_guard lk(g_mu);
    g_armed = false;
    g_cv.notify_all();
}
}
