#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace quor {

namespace {
// One lock and one condition for every event: a wait on several events
// needs a single thing to sleep on, and the program has only a handful of
// events and waiters, so waking all waiters on each set costs nothing.
std::mutex& events_mu() {
    static std::mutex mu;
    return mu;
}

std::condition_variable& events_cv() {
    static std::condition_variable cv;
    return cv;
}

struct Registry {
    std::mutex mu;
    std::map<std::string, std::weak_ptr<Event>> events;

    void purge() {
        for (auto it = events.begin(); it != events.end();)
            it = it->second.expired() ? events.erase(it) : std::next(it);
    }
};

Registry& registry() {
    static Registry r;
    return r;
}
}  // namespace

void Event::set() {
    {
        std::lock_guard lk(events_mu());
        signalled_ = true;
    }
    events_cv().notify_all();
}

void Event::reset() {
    std::lock_guard lk(events_mu());
    signalled_ = false;
}

int Event::wait(int64_t timeout_ms) {
    Event* self = this;
    return wait_any(&self, 1, timeout_ms);
}

int Event::wait_any(Event* const* events, size_t count, int64_t timeout_ms) {
    std::unique_lock lk(events_mu());
    auto take_signalled = [&]() -> int {
        for (size_t i = 0; i < count; ++i) {
            if (!events[i]->signalled_) continue;
            if (events[i]->kind_ == EventReset::AUTO) events[i]->signalled_ = false;
            return int(i);
        }
        return EVENT_WAIT_TIMEOUT;
    };
    // A look without a wait: the device's loops look once per USB request,
    // and a wait on the condition with a deadline already past still makes
    // a futex call (0.3 ms each in the emulated test guest).
    if (timeout_ms <= 0) return take_signalled();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (const int i = take_signalled(); i != EVENT_WAIT_TIMEOUT) return i;
        // A set that races with the time-out still counts.
        if (events_cv().wait_until(lk, deadline) == std::cv_status::timeout)
            return take_signalled();
    }
}

EventHandle open_named_event(const std::string& name, EventReset kind, bool signalled) {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    r.purge();
    if (auto it = r.events.find(name); it != r.events.end()) return it->second.lock();
    auto event = std::make_shared<Event>(kind, signalled);
    r.events.emplace(name, event);
    return event;
}

size_t named_event_count() {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    r.purge();
    return r.events.size();
}

}  // namespace quor
