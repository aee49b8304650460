// The program's side of SRTP as its start-up leaves it: the SRTP library
// loaded from the build and started, and our key for the calls made.
#pragma once

#include <gtest/gtest.h>

#include "media/media_api.h"

namespace quor::test {

// Fails the calling test when a step fails; call under ASSERT_NO_FATAL_FAILURE
// to stop there.
inline void StartProgramSrtp() {
    int code = 0;
    ASSERT_EQ(load_srtp_library_at(QUOR_SRTP_KIT_PATH, &code), 0) << "error " << code;
    ASSERT_GE(init_srtp_library(), 0);
    ASSERT_EQ(make_local_crypto(), 0);
}

}  // namespace quor::test
