// Random bytes from the operating system's generator, fit for keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// Fills BUF with LEN random bytes; 0, or -1 with errno set when the
// generator cannot be read.
int random_bytes(uint8_t* buf, size_t len);

}  // namespace quor
