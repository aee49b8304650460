// The virtual device's lifetime as the phone link, the main window and the
// device's threads share it, and the conversation state they read.
#pragma once

#include <atomic>

#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"

namespace quor {

// Stop request of the virtual device: 0 run, 1 stop, 2 stop and then close
// the main window.
enum DevStop : int { DEV_RUN = 0, DEV_STOP = 1, DEV_STOP_AND_EXIT = 2 };

struct DeviceThreads {
    std::atomic<int> stop{DEV_RUN};  // a DevStop
    // 1 while the thread runs: the soft-device thread (bus reader), the
    // playback and capture workers, the interrupt worker.
    std::atomic<int> softdev_alive{0};
    std::atomic<int> pb_worker_alive{0};
    std::atomic<int> cp_worker_alive{0};
    std::atomic<int> intr_thread_alive{0};
    // 1 once the bus reader found the USB host gone (it detached the device
    // or its connection broke); cleared when the device is plugged in.
    std::atomic<int> usb_host_gone{0};
    // Requests from the bus reader to the playback (endpoint 1), capture
    // (endpoint 2) and interrupt (endpoint 3) workers.
    RequestQueue pb_queue;
    RequestQueue cp_queue;
    RequestQueue intr_queue;
};

extern DeviceThreads g_dev;

// Raises the stop request from 0 to 1; 1 and 2 stay as they are.
void raise_dev_stop();

}  // namespace quor
