#include "soft_dev/audio_pacer.h"

namespace quor {

void AudioPacer::rebase(int64_t now_ms) {
    base_ms_ = now_ms;
    bytes_since_base_ = 0;
}

int64_t AudioPacer::next_completion(size_t bytes) {
    bytes_since_base_ += bytes;
    return base_ms_ + int64_t(bytes_since_base_ / AUDIO_BYTES_PER_MS);
}

int64_t AudioPacer::peek_completion(size_t bytes) const {
    return base_ms_ + int64_t((bytes_since_base_ + bytes) / AUDIO_BYTES_PER_MS);
}

}  // namespace quor
