#include "ui/qt_ui_loop.h"

#include <QThread>
#include <algorithm>

namespace quor {

QtUiLoop::QtUiLoop(QObject* parent) : QObject(parent) {}

QtUiLoop::~QtUiLoop() = default;

void QtUiLoop::post(std::function<void()> task) {
    // Queued calls to one receiver are delivered in the order they were made,
    // whichever thread made them.
    QMetaObject::invokeMethod(
        this, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

bool QtUiLoop::on_ui_thread() {
    return QThread::currentThread() == thread();
}

void QtUiLoop::start_timer(int id, int64_t period_ms) {
    request(id, true, period_ms);
}

void QtUiLoop::stop_timer(int id) {
    request(id, false, 0);
}

bool QtUiLoop::timer_running(int id) {
    std::lock_guard lk(mu_);
    const auto it = wanted_.find(id);
    return it != wanted_.end() && it->second.running;
}

void QtUiLoop::request(int id, bool running, int64_t period_ms) {
    {
        std::lock_guard lk(mu_);
        Wanted& w = wanted_[id];
        w.running = running;
        w.period = std::max(period_ms, MIN_TIMER_PERIOD_MS);
        w.generation = next_generation_++;
    }
    if (on_ui_thread())
        sync(id);
    else
        QMetaObject::invokeMethod(
            this, [this, id] { sync(id); }, Qt::QueuedConnection);
}

void QtUiLoop::sync(int id) {
    Wanted w;
    {
        std::lock_guard lk(mu_);
        w = wanted_[id];
    }
    Applied& a = applied_[id];
    if (!w.running) {
        if (a.timer) a.timer->stop();
        a.generation = w.generation;
        return;
    }
    if (a.generation == w.generation && a.timer && a.timer->isActive()) return;
    if (!a.timer) {
        a.timer = std::make_unique<QTimer>();
        a.timer->setTimerType(Qt::PreciseTimer);
        connect(a.timer.get(), &QTimer::timeout, this, [this, id] { fired(id); });
    }
    a.timer->start(std::chrono::milliseconds(w.period));
    a.generation = w.generation;
}

void QtUiLoop::fired(int id) {
    {
        // A stop requested on another thread may not have reached the QTimer
        // yet; such an expiry is not delivered.
        std::lock_guard lk(mu_);
        if (!wanted_[id].running) return;
    }
    if (timer_handler_) timer_handler_(id);
}

}  // namespace quor
