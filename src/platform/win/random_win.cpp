#include <windows.h>
// windows.h first
#include <bcrypt.h>

#include <algorithm>

#include "platform/random.h"

namespace quor {

int random_bytes(uint8_t* buf, size_t len) {
    while (len > 0) {
        const ULONG chunk = ULONG(std::min<size_t>(len, 1u << 30));
        if (BCryptGenRandom(nullptr, buf, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return -1;
        buf += chunk;
        len -= chunk;
    }
    return 0;
}

}  // namespace quor
