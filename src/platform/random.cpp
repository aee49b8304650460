#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace quor {

int random_bytes(uint8_t* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(buf + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += size_t(n);
    }
    return 0;
}

}  // namespace quor
