// The user-interface thread as the controller sees it: a queue of tasks run
// in order, and the main window's timers, both usable from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace quor {

class UiLoop {
  public:
    using TimerHandler = std::function<void(int id)>;
    virtual ~UiLoop() = default;

    // Runs TASK on the UI thread after every task posted before it.
    virtual void post(std::function<void()> task) = 0;
    // Starts or restarts the periodic timer ID; expiries call the handler on
    // the UI thread until the timer is stopped.
    virtual void start_timer(int id, int64_t period_ms) = 0;
    virtual void stop_timer(int id) = 0;
    virtual bool timer_running(int id) = 0;
    virtual bool on_ui_thread() = 0;
    void set_timer_handler(TimerHandler handler) { timer_handler_ = std::move(handler); }

    // Periods shorter than this are raised to it, as the platform timers do.
    static constexpr int64_t MIN_TIMER_PERIOD_MS = 10;

  protected:
    TimerHandler timer_handler_;
};

// The loop of the console front end and the tests. run() makes the calling
// thread the UI thread; tests on a manual clock call run_pending() instead.
class EventLoop : public UiLoop {
  public:
    explicit EventLoop(Clock& clock = SystemClock::instance());

    void post(std::function<void()> task) override;
    void start_timer(int id, int64_t period_ms) override;
    void stop_timer(int id) override;
    bool timer_running(int id) override;
    bool on_ui_thread() override;

    void run();
    void quit();
    // Runs every queued task and every timer due now; returns how many ran.
    int run_pending();
    // Deadline of the next timer, or -1 when none runs.
    int64_t next_deadline();
    // Next expiry of timer ID, or -1 when it does not run.
    int64_t timer_due(int id);

  private:
    bool run_one(std::unique_lock<std::mutex>& lk);
    int64_t next_deadline_locked() const;

    Clock& clock_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    struct Timer {
        int64_t period;
        int64_t due;
    };
    std::map<int, Timer> timers_;
    bool quit_ = false;
    std::thread::id ui_thread_;
};

}  // namespace quor
