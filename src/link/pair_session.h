// One pairing with the phone: opens the control channel, negotiates, reads
// and acts on every message until the pairing ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/controller.h"
#include "soft_dev/phone_msgs.h"

namespace quor {

// What the session asks of the virtual device and the media: the composition
// root fills it with those subsystems' operations; tests pass their own.
struct SessionServices {
    std::function<int(const char* model, uint16_t vid, uint16_t pid, uint16_t release)>
        set_device_identity;
    std::function<void(Controller&)> start_device;  // starts the device thread
    std::function<int(const char* gruu)> set_gruu;
    std::function<int(uint16_t local_port, uint16_t remote_port, uint32_t remote_addr)>
        open_rtp_socket;
    // Called with the phone's crypto line after the RTP socket opened.
    std::function<int(const char* remote_crypto)> create_srtp_session;
};

constexpr size_t MODEL_NAME_SIZE = 250;

extern std::atomic<int> g_pair_generation;

// The session loop on its own: reads the phone's messages from FD (the phone
// at PHONE) and acts on each until the stream ends or a message ends the
// pairing. The caller owns FD.
void serve_phone_messages(Controller& controller, const SessionServices& services, int fd,
                          uint32_t phone);
// The same loop over bytes already received: acts on the whole frames in
// DATA as if the phone had sent them and then closed the connection. No
// socket is involved: an answer on the connection (UNPAIR_ACK) goes nowhere.
void serve_phone_bytes(Controller& controller, const SessionServices& services, const uint8_t* data,
                       size_t size, uint32_t phone);

// Thread body: one pairing for CONTROLLER, calling on SERVICES; 0 when it
// found itself superseded, 1 otherwise.
int pair_session_thread(Controller& controller, SessionServices services);

}  // namespace quor
