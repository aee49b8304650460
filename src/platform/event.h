// Signalled/non-signalled events with auto or manual reset, a wait on
// several events at once with a time-out, and a process-wide registry of
// named events (the device's "Global\KESTROW_QUOR_..." events). Nobody
// outside the process opens them; the names only let separate threads find
// the same event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quor {

enum class EventReset { AUTO, MANUAL };

// Result of a wait that ran out of time.
constexpr int EVENT_WAIT_TIMEOUT = -1;

class Event {
  public:
    explicit Event(EventReset kind, bool signalled = false) : kind_(kind), signalled_(signalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();

    // 0 once signalled, EVENT_WAIT_TIMEOUT when TIMEOUT_MS passed first.
    // An auto-reset event is reset by the wait that sees it.
    int wait(int64_t timeout_ms);

    // Index of the first signalled event among EVENTS (the lowest index when
    // several are), or EVENT_WAIT_TIMEOUT. Only the returned event is reset
    // (when it is auto-reset); TIMEOUT_MS 0 only looks.
    static int wait_any(Event* const* events, size_t count, int64_t timeout_ms);

  private:
    struct Waiter;

    const EventReset kind_;
    bool signalled_;  // guarded by the events' common lock
    // Threads blocked in a wait on this event; a set wakes only them. Same
    // lock.
    std::vector<Waiter*> waiters_;
};

using EventHandle = std::shared_ptr<Event>;

// Opens the event called NAME. While anyone holds a handle to it, every
// open returns that event with its state, whatever KIND and SIGNALLED say;
// otherwise a new event is made from them. The event goes away with its
// last handle.
EventHandle open_named_event(const std::string& name, EventReset kind, bool signalled = false);

// Named events that still have a holder.
size_t named_event_count();

}  // namespace quor
