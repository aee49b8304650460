#include "base/clock.h"

#include <iterator>

namespace quor {

int64_t ManualClock::now_ms() {
    std::lock_guard lk(mu_);
    return now_;
}

void ManualClock::sleep_ms(int64_t ms) {
    std::unique_lock lk(mu_);
    sleep_until_locked(lk, now_ + ms);
}

void ManualClock::sleep_until_ms(int64_t when_ms) {
    std::unique_lock lk(mu_);
    sleep_until_locked(lk, when_ms);
}

void ManualClock::sleep_until_locked(std::unique_lock<std::mutex>& lk, int64_t until) {
    const auto entry = wake_times_.insert(until);
    cv_.wait(lk, [&] { return now_ >= until; });
    wake_times_.erase(entry);
}

void ManualClock::advance(int64_t ms) {
    {
        std::lock_guard lk(mu_);
        now_ += ms;
    }
    cv_.notify_all();
}

size_t ManualClock::sleepers() {
    std::lock_guard lk(mu_);
    return size_t(std::distance(wake_times_.upper_bound(now_), wake_times_.end()));
}

}  // namespace quor
