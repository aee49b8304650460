#include "soft_dev/softdev_thread.h"

#include <thread>

#include "platform/event.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/dispatch.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

namespace {
struct DeviceEvent {
    const char* name;
    EventReset kind;
};
constexpr DeviceEvent DEVICE_EVENTS[] = {
    {EVENT_PB_COMPLETE, EventReset::AUTO},        {EVENT_CP_COMPLETE, EventReset::AUTO},
    {EVENT_PB_START_STOP, EventReset::MANUAL},    {EVENT_CP_START_STOP, EventReset::MANUAL},
    {EVENT_PB_SHUTDOWN, EventReset::MANUAL},      {EVENT_CP_SHUTDOWN, EventReset::MANUAL},
    {EVENT_EP_INTR_SHUTDOWN, EventReset::MANUAL}, {EVENT_INT_COMPLETE, EventReset::AUTO},
    {EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL},
};

std::thread start_worker(const SoftDevHooks::Worker& worker, std::atomic<int>& alive,
                         DeviceContext& device, VirtualBus& bus) {
    alive = 0;
    if (!worker) return {};
    return std::thread(worker, std::ref(device), std::ref(bus));
}
}  // namespace

int softdev_thread(DeviceContext& device, VirtualBus& bus) {
    g_dev.softdev_alive = 1;
    EventHandle events[std::size(DEVICE_EVENTS)];
    for (size_t i = 0; i < std::size(DEVICE_EVENTS); ++i)
        events[i] = open_named_event(DEVICE_EVENTS[i].name, DEVICE_EVENTS[i].kind);

    if (g_dev.pb_worker_alive == 0 && g_dev.cp_worker_alive == 0) {
        g_dev.cp_queue.clear();
        g_dev.pb_queue.clear();
        bus.set_unlink_handler(drop_queued_request);
        const SoftDevHooks& hooks = device.hooks;
        std::thread playback =
            start_worker(hooks.playback_worker, g_dev.pb_worker_alive, device, bus);
        std::thread capture =
            start_worker(hooks.capture_worker, g_dev.cp_worker_alive, device, bus);

        softdev_io_loop(device, bus);

        // Joining (rather than polling the alive flags) also covers a worker
        // that has not yet raised its flag: the queues are released only
        // after both have started and ended.
        if (playback.joinable()) playback.join();
        if (capture.joinable()) capture.join();
        g_dev.cp_queue.clear();
        g_dev.pb_queue.clear();
    }

    for (EventHandle& e : events) e.reset();
    g_dev.softdev_alive = 0;
    return 1;
}

}  // namespace quor
