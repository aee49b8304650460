// The phone's side of a call's audio: answers MEDIA_OFFER with its own RTP
// port and crypto line, sends a tone (or echoes what it hears, or sends
// silence) as SRTP every 10 ms, records what it receives to a WAV file and
// reports what it heard, until MEDIA_STOP. On command its sender adds
// datagrams the connector must refuse. With a skewed media clock it sends
// on that clock and plays what arrives from a buffer at the same rate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "sim_options.h"
#include "sim_output.h"
#include "sim_playout.h"
#include "sim_rtp_fault.h"
#include "sim_srtp.h"
#include "tone_meter.h"
#include "wav_writer.h"

class SimMedia {
  public:
    SimMedia(SimOutput& out, const SimMediaOptions& opt) : m_out(out), m_opt(opt) {}
    ~SimMedia() { stop(); }
    SimMedia(const SimMedia&) = delete;
    SimMedia& operator=(const SimMedia&) = delete;

    // Takes the MEDIA_OFFER payload and starts the call's audio; fills
    // ANSWER (ANSWER_SIZE bytes) with the PHONE_MEDIA_OFFER payload and
    // returns its length, or -1 (with a note) when the audio cannot start.
    int start(const uint8_t* offer, size_t len, uint8_t* answer, size_t answer_size);
    // Ends the call's audio, if any, and prints its summary.
    void stop();
    // The next COUNT packets sent go out with FAULT (see sim_rtp_fault.h).
    void inject(RtpFault fault, unsigned count) { m_faults.arm(fault, count); }

  private:
    void send_loop();
    void receive_loop();
    void playout_loop();
    void send_packet(const int16_t* samples);
    // False for a late or repeated packet; counts the ones lost before SEQ.
    bool accept_sequence(uint16_t seq);
    // What the phone's speaker plays: recorded, measured, echoed.
    void play(const int16_t* samples, size_t count);
    // The real time (CLOCK_MONOTONIC ns) at which the media clock, started
    // with real time at START, has advanced by MEDIA_NS.
    int64_t real_time_at(int64_t start, int64_t media_ns) const;

    SimOutput& m_out;
    const SimMediaOptions m_opt;
    std::mutex m_control;  // start and stop
    SimSrtp m_srtp;
    int m_fd = -1;
    uint16_t m_connector_port = 0;
    std::atomic<bool> m_running{false};
    std::thread m_sender;
    std::thread m_receiver;
    std::thread m_player;  // with a skewed clock only

    // Sender state (sender thread; the receiver too when echoing).
    std::mutex m_send_mutex;
    uint32_t m_ssrc = 0;
    uint16_t m_seq = 0;
    uint32_t m_timestamp = 0;
    uint64_t m_sent = 0;
    double m_phase = 0;
    RtpFaultInjector m_faults;

    // Arrivals waiting to be played (receiver to player).
    std::mutex m_playout_mutex;
    std::condition_variable m_playout_ready;
    SimPlayout m_playout;

    // What arrives (receiver thread), and what is played (the receiver, or
    // the player with a skewed clock).
    WavWriter m_wav;
    ToneMeter m_second{16000};
    ToneMeter m_total{16000};    // frequency over the whole call
    ToneMeter m_audible{16000};  // level over its audible packets
    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_lost{0};
    uint64_t m_dropped = 0;
    uint64_t m_played = 0;
    bool m_have_seq = false;
    uint16_t m_last_seq = 0;
    bool m_quiet = true;
};
