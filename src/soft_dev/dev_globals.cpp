#include "soft_dev/dev_globals.h"

std::atomic<int> g_dev_stop{DEV_RUN};
std::atomic<int> signin_failed_pending{0};
std::atomic<int> signin_request_pending{0};
std::atomic<int> signout_request_pending{0};
std::atomic<int> hungup_pre_pending{0};
std::atomic<int> hungup_pending{0};

void raise_dev_stop() {
    int expected = DEV_RUN;
    g_dev_stop.compare_exchange_strong(expected, DEV_STOP);
}
