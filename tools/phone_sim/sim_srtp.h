// The phone's SRTP context: the program's SRTP library beside the
// simulator's executable, opened directly, one context per call.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "srtp_kit/srtp_kit.h"

class SimSrtp {
  public:
    SimSrtp() = default;
    ~SimSrtp();
    SimSrtp(const SimSrtp&) = delete;
    SimSrtp& operator=(const SimSrtp&) = delete;

    // Opens the library (once) and makes a context that sends with LOCAL as
    // SSRC and receives with REMOTE. 0, or -1 with the reason in *WHY.
    int create(const std::string& local, const std::string& remote, uint32_t ssrc,
               const char** why);
    void destroy();

    // In place; BUF has room for SRTP_KIT_TRAILER_ROOM more bytes. 0 on
    // success. Safe from several threads.
    int protect(uint8_t* buf, int* len);
    int unprotect(uint8_t* buf, int* len);

  private:
    int open_library(const char** why);

    std::mutex m_mutex;
    void* m_lib = nullptr;
    srtp_kit_handle m_handle = nullptr;
    decltype(&srtp_kit_create) m_create = nullptr;
    decltype(&srtp_kit_destroy) m_destroy = nullptr;
    decltype(&srtp_kit_add_stream) m_add_stream = nullptr;
    decltype(&srtp_kit_rtp_protect) m_protect = nullptr;
    decltype(&srtp_kit_rtp_unprotect) m_unprotect = nullptr;
};
