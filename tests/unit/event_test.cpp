// Events: reset kinds, waiting on several at once, time-outs, and the
// registry of named events.
#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quor {
namespace {

using namespace std::chrono;

TEST(Event, AutoResetIsConsumedByTheWaitThatSeesIt) {
    Event e(EventReset::AUTO);
    e.set();
    EXPECT_EQ(e.wait(0), 0);
    EXPECT_EQ(e.wait(0), EVENT_WAIT_TIMEOUT);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event e(EventReset::MANUAL, true);
    EXPECT_EQ(e.wait(0), 0);
    EXPECT_EQ(e.wait(0), 0);
    e.reset();
    EXPECT_EQ(e.wait(0), EVENT_WAIT_TIMEOUT);
}

TEST(Event, WaitAnyReturnsTheLowestSignalledIndexAndResetsOnlyThatOne) {
    Event a(EventReset::AUTO), b(EventReset::AUTO), c(EventReset::AUTO);
    Event* events[] = {&a, &b, &c};
    c.set();
    b.set();
    EXPECT_EQ(Event::wait_any(events, 3, 0), 1);
    EXPECT_EQ(Event::wait_any(events, 3, 0), 2);
    EXPECT_EQ(Event::wait_any(events, 3, 0), EVENT_WAIT_TIMEOUT);
}

TEST(Event, TimeOutWaitsAtLeastItsTime) {
    Event e(EventReset::AUTO);
    const auto start = steady_clock::now();
    EXPECT_EQ(e.wait(30), EVENT_WAIT_TIMEOUT);
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
}

TEST(Event, SetFromAnotherThreadWakesAWaiterOnSeveralEvents) {
    Event idle(EventReset::AUTO), wake(EventReset::MANUAL);
    Event* events[] = {&idle, &wake};
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(20));
        wake.set();
    });
    const auto start = steady_clock::now();
    EXPECT_EQ(Event::wait_any(events, 2, 5000), 1);
    EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
    setter.join();
}

TEST(Event, EachSetOfAnAutoEventWakesOneOfTwoWaiters) {
    Event e(EventReset::AUTO);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (e.wait(300) == 0) ++woken;
    };
    std::thread w1(waiter), w2(waiter);
    std::this_thread::sleep_for(milliseconds(20));
    e.set();
    w1.join();
    w2.join();
    EXPECT_EQ(woken, 1);
}

TEST(NamedEvent, SameNameIsTheSameEventWithItsStateWhileHeld) {
    const size_t before = named_event_count();
    EventHandle first = open_named_event("Global\\TEST_A", EventReset::MANUAL);
    EventHandle second = open_named_event("Global\\TEST_A", EventReset::AUTO, false);
    EXPECT_EQ(first, second);
    first->set();
    // The existing event keeps its manual reset and its signalled state.
    EventHandle third = open_named_event("Global\\TEST_A", EventReset::AUTO, false);
    EXPECT_EQ(third->wait(0), 0);
    EXPECT_EQ(third->wait(0), 0);
    EXPECT_EQ(named_event_count(), before + 1);
    first.reset();
    second.reset();
    third.reset();
    EXPECT_EQ(named_event_count(), before);
    // Opened afresh it is a new, non-signalled event.
    EXPECT_EQ(open_named_event("Global\\TEST_A", EventReset::AUTO)->wait(0), EVENT_WAIT_TIMEOUT);
}

}  // namespace
}  // namespace quor
