#include "soft_dev/dev_globals.h"

std::atomic<int> g_dev_stop{DEV_RUN};
std::atomic<int> signin_failed_pending{0};
std::atomic<int> signin_request_pending{0};
std::atomic<int> signout_request_pending{0};
std::atomic<int> hungup_pre_pending{0};
std::atomic<int> hungup_pending{0};

void raise_dev_stop() {
    int expected = DEV_RUN;
    g_dev_stop.compare_exchange_strong(expected, DEV_STOP);
}

std::atomic<int> g_softdev_alive{0};
std::atomic<int> g_pb_worker_alive{0};
std::atomic<int> g_cp_worker_alive{0};
std::atomic<int> g_intr_thread_alive{0};
std::atomic<int> g_usb_host_gone{0};

std::atomic<int> hid_send_window{0};
std::atomic<uint16_t> lync_status_word{0};
std::atomic<int> dialog_active{0};
std::atomic<int> srtp_stream_active{0};
std::atomic<int> text_target_is_name{0};
std::atomic<int> sel12_capture_pending{0};

std::atomic<uint16_t> volume_setting{0};
std::atomic<uint8_t> mute_setting{0};
