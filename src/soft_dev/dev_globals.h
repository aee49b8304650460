// Words shared between the phone link, the main window and the virtual
// device's threads.
#pragma once

#include <atomic>

// Stop request of the virtual device: 0 run, 1 stop, 2 stop and then close
// the main window.
enum DevStop : int { DEV_RUN = 0, DEV_STOP = 1, DEV_STOP_AND_EXIT = 2 };
extern std::atomic<int> g_dev_stop;

// Raises the stop request from 0 to 1; 1 and 2 stay as they are.
void raise_dev_stop();

// Report requests turned into HID input reports by the interrupt worker.
extern std::atomic<int> signin_failed_pending;
extern std::atomic<int> signin_request_pending;
extern std::atomic<int> signout_request_pending;
extern std::atomic<int> hungup_pre_pending;
extern std::atomic<int> hungup_pending;
