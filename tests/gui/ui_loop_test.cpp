// The controller's UI loop on Qt: tasks posted from several threads run on
// the UI thread in each thread's order, timers call the handler until
// stopped, and a stop made on another thread wins over an earlier start
// that is still on its way.
#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

#include "ui/qt_ui_loop.h"

namespace quor {

class UiLoopTest : public QObject {
    Q_OBJECT

  private slots:
    void posts_keep_each_threads_order() {
        QtUiLoop loop;
        constexpr int PER_THREAD = 500;
        std::vector<std::vector<int>> seen(3);
        std::atomic<int> wrong_thread{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < PER_THREAD; ++i)
                    loop.post([&, t, i] {
                        if (!loop.on_ui_thread()) ++wrong_thread;
                        seen[size_t(t)].push_back(i);
                    });
            });
        for (auto& th : threads) th.join();
        QTRY_COMPARE(seen[0].size() + seen[1].size() + seen[2].size(), size_t(3 * PER_THREAD));
        for (const auto& list : seen)
            for (int i = 0; i < PER_THREAD; ++i) QCOMPARE(list[size_t(i)], i);
        QCOMPARE(wrong_thread.load(), 0);
    }

    void post_from_ui_thread_runs_later() {
        QtUiLoop loop;
        std::vector<int> order;
        loop.post([&] { order.push_back(2); });
        order.push_back(1);
        QTRY_COMPARE(order.size(), size_t(2));
        QCOMPARE(order, (std::vector<int>{1, 2}));
    }

    void timers_fire_until_stopped() {
        QtUiLoop loop;
        std::vector<int> fired;
        loop.set_timer_handler([&](int id) {
            fired.push_back(id);
            if (fired.size() == 3) loop.stop_timer(id);
        });
        loop.start_timer(1125, 20);
        QVERIFY(loop.timer_running(1125));
        QTRY_COMPARE(fired.size(), size_t(3));
        QVERIFY(!loop.timer_running(1125));
        QTest::qWait(80);
        QCOMPARE(fired.size(), size_t(3));
    }

    void worker_stop_wins_over_earlier_worker_start() {
        QtUiLoop loop;
        int fired = 0;
        loop.set_timer_handler([&](int) { ++fired; });
        std::thread worker([&] {
            loop.start_timer(1129, 10);
            loop.stop_timer(1129);
        });
        worker.join();
        QVERIFY(!loop.timer_running(1129));
        QTest::qWait(60);
        QCOMPARE(fired, 0);
    }

    void restart_from_worker_takes_new_period() {
        QtUiLoop loop;
        std::vector<qint64> when;
        QElapsedTimer clock;
        loop.set_timer_handler([&](int id) {
            when.push_back(clock.elapsed());
            loop.stop_timer(id);
        });
        clock.start();
        loop.start_timer(1130, 10000);
        std::thread worker([&] { loop.start_timer(1130, 30); });
        worker.join();
        QTRY_COMPARE(when.size(), size_t(1));
        QVERIFY(when[0] < 5000);
    }
};

}  // namespace quor

QTEST_MAIN(quor::UiLoopTest)
#include "ui_loop_test.moc"
