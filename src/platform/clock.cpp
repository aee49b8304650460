#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace quor {

int64_t SystemClock::now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SystemClock::sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

void SystemClock::sleep_until_ms(int64_t when_ms) {
    const timespec at{time_t(when_ms / 1000), long(when_ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace quor
