// The start-up of the targets that run real SRTP: the program's library
// loaded and keyed once for the whole run.
#include <cstdio>

#include "srtp_phone.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The diagnostic lines would slow every run down.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    quor::fuzz::load_media();
    return 0;
}
