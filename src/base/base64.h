// Base64 as crypto lines carry it: the standard alphabet with '=' padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// Writes IN (LEN bytes) as base64 with '=' padding and a terminating zero
// into OUT (OUT_SIZE bytes). The number of characters, or -1 when they and
// the terminator do not fit.
int base64_encode(const uint8_t* in, size_t len, char* out, size_t out_size);

}  // namespace quor
