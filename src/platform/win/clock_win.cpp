#include <windows.h>

#include "platform/clock.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace quor {

namespace {
int64_t counter_frequency() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}
}  // namespace

int64_t SystemClock::now_ms() {
    static const int64_t frequency = counter_frequency();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart, so the product does not overflow.
    return now.QuadPart / frequency * 1000 + now.QuadPart % frequency * 1000 / frequency;
}

// A waitable timer with high resolution where the system has it (Sleep
// rounds up to the scheduler's tick, 15.6 ms by default).
void SystemClock::sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    if (!timer) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;  // relative, in 100 ns units
    if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
    } else {
        Sleep(DWORD(ms));
    }
    if (timer) CloseHandle(timer);
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace quor
