#include "platform/ui_loop.h"

#include <algorithm>
#include <chrono>

namespace quor {

EventLoop::EventLoop(Clock& clock) : clock_(clock), ui_thread_(std::this_thread::get_id()) {}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lk(mu_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void EventLoop::start_timer(int id, int64_t period_ms) {
    {
        std::lock_guard lk(mu_);
        const int64_t period = std::max(period_ms, MIN_TIMER_PERIOD_MS);
        timers_[id] = Timer{period, clock_.now_ms() + period};
    }
    cv_.notify_all();
}

void EventLoop::stop_timer(int id) {
    std::lock_guard lk(mu_);
    timers_.erase(id);
}

bool EventLoop::timer_running(int id) {
    std::lock_guard lk(mu_);
    return timers_.count(id) != 0;
}

bool EventLoop::on_ui_thread() {
    return std::this_thread::get_id() == ui_thread_;
}

int64_t EventLoop::next_deadline() {
    std::lock_guard lk(mu_);
    return next_deadline_locked();
}

int64_t EventLoop::timer_due(int id) {
    std::lock_guard lk(mu_);
    auto it = timers_.find(id);
    return it == timers_.end() ? -1 : it->second.due;
}

int64_t EventLoop::next_deadline_locked() const {
    int64_t next = -1;
    for (auto& [id, t] : timers_)
        if (next < 0 || t.due < next) next = t.due;
    return next;
}

// Runs one task, or else one due timer, with the lock released around it.
bool EventLoop::run_one(std::unique_lock<std::mutex>& lk) {
    if (!tasks_.empty()) {
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lk.unlock();
        task();
        lk.lock();
        return true;
    }
    const int64_t now = clock_.now_ms();
    for (auto& [id, t] : timers_) {
        if (t.due <= now) {
            // Missed expiries collapse into one, like the platform's timer
            // messages.
            t.due = now + t.period;
            const int fired = id;
            lk.unlock();
            if (timer_handler_) timer_handler_(fired);
            lk.lock();
            return true;
        }
    }
    return false;
}

int EventLoop::run_pending() {
    ui_thread_ = std::this_thread::get_id();
    std::unique_lock lk(mu_);
    int count = 0;
    while (run_one(lk)) ++count;
    return count;
}

void EventLoop::run() {
    ui_thread_ = std::this_thread::get_id();
    std::unique_lock lk(mu_);
    while (!quit_) {
        if (run_one(lk)) continue;
        const int64_t next = next_deadline_locked();
        if (next < 0) {
            cv_.wait(lk);
        } else {
            const int64_t wait = next - clock_.now_ms();
            if (wait > 0) cv_.wait_for(lk, std::chrono::milliseconds(wait));
        }
    }
}

void EventLoop::quit() {
    {
        std::lock_guard lk(mu_);
        quit_ = true;
    }
    cv_.notify_all();
}

}  // namespace quor
