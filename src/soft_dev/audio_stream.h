// The speaker and microphone streaming endpoints: two workers that complete
// the host's isochronous requests at the pace of the audio they carry,
// forwarding the speaker's audio to the phone and filling the microphone's
// requests with the phone's audio (or a fading repeat of the last frame
// when none arrived).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

// Thread bodies: each sets its alive flag, completes requests from its
// queue until SOFTDEV_SHUTDOWN, clears the flag and returns 1. Requests
// still queued at the shutdown are not answered.
int dealwith_audio_pb_buf(Clock& clock, VirtualBus& bus);
int dealwith_audio_cp_buf(Clock& clock, VirtualBus& bus);

// Halves every 16-bit little-endian sample of BUF in place, rounding toward
// zero. -1 (and nothing changed) for a missing buffer, a length of 0 or an
// odd length.
int halve_samples(uint8_t* buf, size_t len);

// Silences the frame that the microphone repeats when the phone sends
// nothing; takes effect at the capture worker's next frame. Called when the
// microphone interface is switched on.
void clear_last_capture_frame();

// Puts the two workers into the device's hook table.
void register_audio_stream_hooks(SoftDevHooks& hooks);

}  // namespace quor
