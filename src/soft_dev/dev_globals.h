// Words shared between the phone link, the main window and the virtual
// device's threads.
#pragma once

#include <atomic>
#include <cstdint>

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

// 1 while the thread runs: the soft-device thread (bus reader), the
// playback and capture workers, the interrupt worker.
extern std::atomic<int> g_softdev_alive;
extern std::atomic<int> g_pb_worker_alive;
extern std::atomic<int> g_cp_worker_alive;
extern std::atomic<int> g_intr_thread_alive;
// 1 once the bus reader found the USB host gone (it detached the device or
// its connection broke); cleared when the device is plugged in.
extern std::atomic<int> g_usb_host_gone;

// State of Lync's HID conversation and the call's media, cleared at every
// device start.
extern std::atomic<int> hid_send_window;        // the interrupt worker may answer
extern std::atomic<uint16_t> lync_status_word;  // last status report 0x16
extern std::atomic<int> dialog_active;          // a call dialog is in progress
extern std::atomic<int> srtp_stream_active;     // the phone was asked to open the stream
extern std::atomic<int> text_target_is_name;    // text pieces fill the display name
extern std::atomic<int> sel12_capture_pending;  // next reference text is to be kept

// Audio control values the host sets and reads back; reset when the bus
// reader starts.
extern std::atomic<uint16_t> volume_setting;
extern std::atomic<uint8_t> mute_setting;
