// What the simulator's threads share: the options, the output, the current
// connection and the switches that commands flip while it runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim_link.h"
#include "sim_media.h"
#include "sim_options.h"
#include "sim_output.h"

struct SimState {
    explicit SimState(const SimOptions& options)
        : opt(options), keepalive_answer(options.keepalive_answer) {}

    const SimOptions opt;
    SimOutput out;
    SimLink link{out};
    SimMedia media{out, opt.media};
    std::atomic<bool> quit{false};
    std::atomic<bool> keepalive_answer;
    std::atomic<bool> held_answer_given{false};  // for --held-once
    // Where the phone's log goes (host order): a PC, or 0 for the phone
    // itself. Set by LOG_ROUTE.
    std::atomic<uint32_t> log_to{0};

    // Any thread: every loop ends within one poll tick; a connection whose
    // reader waits in the middle of a frame is woken by dropping it.
    void request_quit() {
        quit = true;
        link.drop();
    }
};

// Poll period of the waiting loops, which bounds how long a quit takes.
constexpr int SIM_TICK_MS = 100;
