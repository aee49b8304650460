#include "soft_dev/dev_globals.h"

namespace quor {

DeviceThreads g_dev;

void raise_dev_stop() {
    int expected = DEV_RUN;
    g_dev.stop.compare_exchange_strong(expected, DEV_STOP);
}

}  // namespace quor
