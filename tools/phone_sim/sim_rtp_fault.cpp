#include "sim_rtp_fault.h"

namespace {

constexpr const char* NAMES[] = {"garbage", "replay", "truncate"};

// Shorter than a byte of header, than the RTP header, exactly the header,
// half a packet, and a packet without the last byte of its tag.
size_t cut_length(unsigned turn, size_t len) {
    const size_t cuts[] = {1, 11, 12, len / 2, len - 1};
    const size_t cut = cuts[turn % std::size(cuts)];
    return cut < len ? cut : len - 1;
}

}  // namespace

bool parse_rtp_fault(const std::string& word, RtpFault* fault) {
    for (size_t i = 0; i < std::size(NAMES); ++i) {
        if (word == NAMES[i]) {
            *fault = RtpFault(i);
            return true;
        }
    }
    return false;
}

const char* rtp_fault_name(RtpFault fault) {
    return NAMES[size_t(fault)];
}

void RtpFaultInjector::arm(RtpFault fault, unsigned count) {
    std::lock_guard lock(m_mutex);
    m_fault = fault;
    m_left = count;
    m_spent = false;
}

std::vector<RtpFaultInjector::Datagram> RtpFaultInjector::shape(const uint8_t* packet, size_t len) {
    const Datagram real{{packet, packet + len}, false};
    std::lock_guard lock(m_mutex);
    if (m_left == 0 || len < 2) return {real};
    m_spent = --m_left == 0;
    ++m_injected;
    switch (m_fault) {
        case RtpFault::GARBAGE: {
            Datagram noise{std::vector<uint8_t>(len), true};
            for (uint8_t& b : noise.bytes) {
                m_noise ^= m_noise << 13;
                m_noise ^= m_noise >> 17;
                m_noise ^= m_noise << 5;
                b = uint8_t(m_noise);
            }
            return {noise, real};
        }
        case RtpFault::REPLAY:
            return {real, {real.bytes, true}};
        case RtpFault::TRUNCATE:
            return {{{packet, packet + cut_length(m_cut_turn++, len)}, true}, real};
    }
    return {real};
}

bool RtpFaultInjector::take_spent(RtpFault* fault) {
    std::lock_guard lock(m_mutex);
    if (!m_spent) return false;
    m_spent = false;
    *fault = m_fault;
    return true;
}

unsigned RtpFaultInjector::injected() {
    std::lock_guard lock(m_mutex);
    return m_injected;
}

void RtpFaultInjector::reset() {
    std::lock_guard lock(m_mutex);
    m_injected = 0;
    m_cut_turn = 0;
}
