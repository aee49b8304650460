// State of Lync's HID conversation and of the call's media as the device's
// threads share it.
#pragma once

#include <atomic>
#include <cstdint>

namespace quor {

struct LyncState {
    // Report requests turned into HID input reports by the interrupt worker.
    std::atomic<int> signin_failed_pending{0};
    std::atomic<int> signin_request_pending{0};
    std::atomic<int> signout_request_pending{0};
    std::atomic<int> hungup_pre_pending{0};
    std::atomic<int> hungup_pending{0};
    // The interrupt worker is to send the acknowledge report (not cleared at
    // device start).
    std::atomic<int> ack_report_pending{0};
    // A GRUU transfer is armed or under way.
    std::atomic<int> gruu_pending{0};

    // The conversation and the call's media, cleared at every device start.
    std::atomic<int> hid_send_window{0};        // the interrupt worker may answer
    std::atomic<uint16_t> lync_status_word{0};  // last status report 0x16
    std::atomic<int> dialog_active{0};          // a call dialog is in progress
    std::atomic<int> srtp_stream_active{0};     // the phone was asked to open the stream
    std::atomic<int> text_target_is_name{0};    // text pieces fill the display name
    std::atomic<int> sel12_capture_pending{0};  // next reference text is to be kept
    // The microphone became active while the stream could not be opened; the
    // next call dialog opens it.
    std::atomic<int> invite_on_dialog{0};
    // The host selected the playback / capture alternate setting 1; the
    // streaming worker lowers it once it re-based its pacing.
    std::atomic<int> pb_stream_started{0};
    std::atomic<int> cp_stream_started{0};

    // Audio control values the host sets and reads back; reset when the bus
    // reader starts.
    std::atomic<uint16_t> volume_setting{0};
    std::atomic<uint8_t> mute_setting{0};
};

extern LyncState g_lync;

}  // namespace quor
