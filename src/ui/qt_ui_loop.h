// The controller's UI thread on top of Qt's event loop: posted tasks become
// queued calls, and each main-window timer id gets a QTimer.
#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <mutex>

#include "platform/ui_loop.h"

namespace quor {

class QtUiLoop : public QObject, public UiLoop {
    Q_OBJECT

  public:
    explicit QtUiLoop(QObject* parent = nullptr);
    ~QtUiLoop() override;

    // All of these may be called from any thread.
    void post(std::function<void()> task) override;
    void start_timer(int id, int64_t period_ms) override;
    void stop_timer(int id) override;
    bool timer_running(int id) override;
    bool on_ui_thread() override;

  private:
    // What the last start/stop call asked for. Calls made on other threads
    // reach the QTimers later; sync() always applies the newest request, so
    // a late queued call can never undo a newer one.
    struct Wanted {
        bool running = false;
        int64_t period = 0;
        uint64_t generation = 0;
    };
    void request(int id, bool running, int64_t period_ms);
    void sync(int id);
    void fired(int id);

    std::mutex mu_;
    std::map<int, Wanted> wanted_;
    uint64_t next_generation_ = 1;

    // UI thread only.
    struct Applied {
        std::unique_ptr<QTimer> timer;
        uint64_t generation = 0;
    };
    std::map<int, Applied> applied_;
};

}  // namespace quor
