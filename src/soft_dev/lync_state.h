// Flags of the HID conversation and the audio streams shared between threads.
#pragma once

#include <atomic>

// The interrupt worker is to send the acknowledge report (not cleared at
// device start).
extern std::atomic<int> ack_report_pending;
// A GRUU transfer is armed or under way.
extern std::atomic<int> gruu_pending;
// The microphone became active while the stream could not be opened; the
// next call dialog opens it.
extern std::atomic<int> invite_on_dialog;
// The host selected the playback / capture alternate setting 1; the
// streaming worker lowers it once it re-based its pacing.
extern std::atomic<int> pb_stream_started;
extern std::atomic<int> cp_stream_started;
