// Faults the phone's RTP sender can commit on command: for the next N
// packets of a call, a datagram that must not pass the connector's checks
// goes out next to the real packet, so the call's audio itself is whole and
// only the connector's dropping of the bad ones is tested.
//   garbage   random bytes of the packet's length, before the packet
//   replay    the packet, then the same bytes again (an SRTP replay)
//   truncate  the packet cut short (1, 11, 12, half, all but the last
//             byte, in turn), before the packet
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class RtpFault { GARBAGE, REPLAY, TRUNCATE };

// "garbage", "replay" or "truncate"; false for any other word.
bool parse_rtp_fault(const std::string& word, RtpFault* fault);
const char* rtp_fault_name(RtpFault fault);

class RtpFaultInjector {
  public:
    struct Datagram {
        std::vector<uint8_t> bytes;
        bool faulty = false;
    };

    // Any thread: the next COUNT packets go out with FAULT (replacing what
    // was armed before).
    void arm(RtpFault fault, unsigned count);

    // Sender thread: the datagrams to send, in order, for the protected
    // packet PACKET of LEN bytes: the packet alone, or the packet and its
    // faulty companion.
    std::vector<Datagram> shape(const uint8_t* packet, size_t len);

    // True once after the armed packets are all spent, with the fault that
    // was armed.
    bool take_spent(RtpFault* fault);

    // Faulty datagrams made since the last reset(), which a call's start
    // calls; faults armed and not yet spent stay armed.
    unsigned injected();
    void reset();

  private:
    std::mutex m_mutex;
    RtpFault m_fault = RtpFault::GARBAGE;
    unsigned m_left = 0;
    bool m_spent = false;
    unsigned m_injected = 0;
    unsigned m_cut_turn = 0;
    uint32_t m_noise = 0x9E3779B9u;  // xorshift state of the garbage bytes
};
