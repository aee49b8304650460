// The system's monotonic clock.
#pragma once

#include "base/clock.h"

namespace quor {

// CLOCK_MONOTONIC with clock_nanosleep.
class SystemClock : public Clock {
  public:
    int64_t now_ms() override;
    void sleep_ms(int64_t ms) override;
    void sleep_until_ms(int64_t when_ms) override;
    static SystemClock& instance();
};

}  // namespace quor
