// Control requests to the audio interfaces: mute and volume of the audio
// control interface 0, and the alternate settings of the speaker (1) and
// microphone (2) streaming interfaces, which tie the call's SRTP stream to
// the host's use of the audio device when "AsNmDev" is 1.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/controller.h"
#include "platform/vbus.h"

namespace quor {

constexpr int MEDIA_IDLE_DELAY_MS = 500;

// Fixed volume attributes, 1/256 dB.
constexpr uint16_t VOLUME_MIN = 0xE2FF;
constexpr uint16_t VOLUME_MAX = 0x0000;
constexpr uint16_t VOLUME_RES = 0x0100;

// REQ is a converted request of LEN bytes addressed to interface 0, 1 or 2.
// Returns 0 when a reply was written, -1 when the request was left
// unanswered.
int process_audio_class_specific_requests(Controller& controller, VirtualBus& bus,
                                          const uint8_t* req, size_t len);

}  // namespace quor
