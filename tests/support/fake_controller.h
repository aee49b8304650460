// A controller for tests that run the device's handlers and workers without
// a main window: a state and settings the test sets, timers recorded, the
// given clock, and every question answered with Cancel.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "base/controller.h"
#include "platform/clock.h"

namespace quor::test {

class FakeController : public Controller {
  public:
    explicit FakeController(Clock& clock = SystemClock::instance()) : clock_(clock) {}

    unsigned State() override { return state; }
    void SetState(unsigned s) override { state = s; }
    bool SetStateIf(const std::function<bool(unsigned)>& condition, unsigned s) override {
        std::lock_guard lk(mu_);
        if (!condition(state)) return false;
        state = s;
        return true;
    }
    void LinkLost(int) override { ++links_lost; }
    ControllerSettings Settings() override {
        std::lock_guard lk(mu_);
        return settings;
    }
    void StartTimer(int id, int64_t period_ms) override {
        std::lock_guard lk(mu_);
        timers[id] = period_ms;
    }
    void StopTimer(int id) override {
        std::lock_guard lk(mu_);
        timers.erase(id);
    }
    bool TimerRunning(int id) {
        std::lock_guard lk(mu_);
        return timers.count(id) != 0;
    }
    Clock& clock() override { return clock_; }
    int MessageBoxHint(const std::string&, int) override { return IDCANCEL; }
    int message_box(const std::string&, const std::string&, int) override { return IDCANCEL; }
    std::string ask_save_path(const std::string&, const std::string&) override { return {}; }
    int AskForceConnect(const uint8_t*) override { return 0; }
    void OpenDocument(const std::string&) override {}
    void EndDialog() override {}
    bool IsMinimized() override { return false; }
    void PostMinimize() override {}
    int GetAddress(uint32_t* addr) override {
        *addr = 0;
        return 0;
    }
    void SetAddress(uint32_t) override {}
    void SetTakenOverMsg(const uint8_t*) override {}
    void SetDriverFailedMsg() override {}
    void ClearPendingMsg() override {}
    void disarm_repair() override {}

    std::atomic<unsigned> state{STATE_NOT_PAIRED};
    ControllerSettings settings;  // set before the code under test runs
    std::map<int, int64_t> timers;
    std::atomic<int> links_lost{0};

  private:
    std::mutex mu_;
    Clock& clock_;
};

}  // namespace quor::test
