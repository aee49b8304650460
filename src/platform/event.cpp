#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace quor {

// A thread blocked in wait_any sleeps on its own condition, entered in the
// waiter list of each event it waits on. A set wakes only the threads
// waiting on that event: the device sets an event for every USB request, a
// thousand times a second on a Linux host, and waking every waiting thread
// each time would make the idle workers run as often.
struct Event::Waiter {
    std::condition_variable cv;
};

namespace {
// One lock for every event: a wait on several events reads and resets them
// together.
std::mutex& events_mu() {
    static std::mutex mu;
    return mu;
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
    std::lock_guard lk(events_mu());
    signalled_ = true;
    for (Waiter* w : waiters_) w->cv.notify_one();
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
    Waiter me;
    for (size_t i = 0; i < count; ++i) events[i]->waiters_.push_back(&me);
    int result = take_signalled();
    // A set that races with the time-out still counts.
    while (result == EVENT_WAIT_TIMEOUT &&
           me.cv.wait_until(lk, deadline) != std::cv_status::timeout)
        result = take_signalled();
    if (result == EVENT_WAIT_TIMEOUT) result = take_signalled();
    for (size_t i = 0; i < count; ++i) std::erase(events[i]->waiters_, &me);
    return result;
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
