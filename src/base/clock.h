// Monotonic time read through an interface, so timers and pacing can run on
// a manual clock in tests. The system's clock is in platform/clock.h.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

namespace quor {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t now_ms() = 0;
    virtual void sleep_ms(int64_t ms) = 0;
    // Sleeps until the clock reads WHEN_MS, waking at the start of that
    // millisecond (a sleep of whole milliseconds from a truncated now_ms()
    // wakes up to a millisecond after it).
    virtual void sleep_until_ms(int64_t when_ms) = 0;
};

// Time moves only when a test advances it; sleepers wake when their time has
// come.
class ManualClock : public Clock {
  public:
    int64_t now_ms() override;
    void sleep_ms(int64_t ms) override;
    void sleep_until_ms(int64_t when_ms) override;
    void advance(int64_t ms);
    // Threads asleep whose time has not come yet. A test that moves the
    // clock only while the thread it drives sleeps never runs the clock ahead
    // of that thread's work.
    size_t sleepers();

  private:
    void sleep_until_locked(std::unique_lock<std::mutex>& lk, int64_t until);

    std::mutex mu_;
    std::condition_variable cv_;
    int64_t now_ = 0;
    std::multiset<int64_t> wake_times_;
};

}  // namespace quor
