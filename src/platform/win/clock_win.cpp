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

constexpr int64_t TICKS_PER_MS = 10000;  // 100 ns units

// The performance counter in 100 ns units.
int64_t now_ticks() {
    static const int64_t frequency = counter_frequency();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart, so the product does not overflow.
    return now.QuadPart / frequency * 1000 * TICKS_PER_MS +
           now.QuadPart % frequency * 1000 * TICKS_PER_MS / frequency;
}

// A waitable timer with high resolution where the system has it (Sleep
// rounds up to the scheduler's tick, 15.6 ms by default).
void sleep_ticks(int64_t ticks) {
    if (ticks <= 0) return;
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    if (!timer) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -ticks;  // negative: relative
    if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
    } else {
        Sleep(DWORD((ticks + TICKS_PER_MS - 1) / TICKS_PER_MS));
    }
    if (timer) CloseHandle(timer);
}
}  // namespace

int64_t SystemClock::now_ms() {
    return now_ticks() / TICKS_PER_MS;
}

void SystemClock::sleep_ms(int64_t ms) {
    sleep_ticks(ms * TICKS_PER_MS);
}

void SystemClock::sleep_until_ms(int64_t when_ms) {
    sleep_ticks(when_ms * TICKS_PER_MS - now_ticks());
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace quor
