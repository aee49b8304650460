// Runs the two streaming workers against a bus that records each reply and
// when it came, and builds the isochronous requests a host sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "platform/event.h"
#include "soft_dev/audio_requests.h"
#include "soft_dev/audio_stream.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/usbip_pdu.h"
#include "support/fake_controller.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {

using Clock = std::chrono::steady_clock;

inline double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 3000) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct TimedReply {
    Bytes pdu;
    Clock::time_point at;
};

class TimedBus : public FakeBus {
  public:
    int write_reply(const uint8_t* pdu, size_t len) override {
        {
            std::lock_guard lk(mu);
            timed_.push_back({Bytes(pdu, pdu + len), Clock::now()});
        }
        cv_.notify_all();
        return 0;
    }
    bool wait_for_replies(size_t n, int timeout_ms = 5000) {
        std::unique_lock lk(mu);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                            [&] { return timed_.size() >= n; });
    }
    TimedReply reply(size_t i) {
        std::lock_guard lk(mu);
        return timed_.at(i);
    }
    size_t reply_count() {
        std::lock_guard lk(mu);
        return timed_.size();
    }

  private:
    std::condition_variable cv_;
    std::vector<TimedReply> timed_;
};

// A speaker request of PACKETS packets of SIZE bytes whose samples count up
// from FIRST_SAMPLE.
inline Submit playback_request(uint32_t seqnum, uint32_t packets, uint32_t size, int first_sample) {
    Submit s;
    s.seqnum = seqnum;
    s.direction = USBIP_DIR_OUT;
    s.ep = 1;
    s.length = packets * size;
    s.packets = packets;
    for (uint32_t i = 0; i < packets; ++i) s.iso.push_back({i * size, size});
    s.out_data.resize(s.length);
    for (size_t i = 0; i + 1 < s.out_data.size(); i += 2)
        put_le16(&s.out_data[i], uint16_t(first_sample + int(i / 2)));
    return s;
}

inline Submit capture_request(uint32_t seqnum, uint32_t packets, uint32_t size) {
    Submit s;
    s.seqnum = seqnum;
    s.direction = USBIP_DIR_IN;
    s.ep = 2;
    s.length = packets * size;
    s.packets = packets;
    for (uint32_t i = 0; i < packets; ++i) s.iso.push_back({i * size, size});
    return s;
}

// The request as the dispatcher queues it: header words converted.
inline Bytes converted(const Submit& s) {
    Bytes b = s.wire();
    usbip_header_to_host(b.data());
    return b;
}

// The host selects alternate setting ALT of the speaker (1) or microphone
// (2) streaming interface, as the bus reader hands the request over to the
// handler of CONTROLLER's device.
inline void select_stream(Controller& controller, uint8_t interface, uint8_t alt) {
    FakeBus control_bus;
    const Bytes req = converted(control(1, 0x01, 0x0B, alt, interface, 0));
    ASSERT_EQ(
        process_audio_class_specific_requests(controller, control_bus, req.data(), req.size()), 0);
}

// The streaming workers' shared state as a new attachment finds it: empty
// queues, neither stream started, no shutdown raised.
inline void reset_worker_state(const EventHandle& shutdown) {
    shutdown->reset();
    g_dev.pb_queue.clear();
    g_dev.cp_queue.clear();
    g_lync.pb_stream_started = 0;
    g_lync.cp_stream_started = 0;
}

class WorkerFixture : public ::testing::Test {
  protected:
    void SetUp() override { reset_worker_state(shutdown_); }
    void TearDown() override {
        stop_workers();
        reset_worker_state(shutdown_);
    }
    void start_workers() {
        playback_ = std::thread(dealwith_audio_pb_buf, std::ref(controller.clock()), std::ref(bus));
        capture_ = std::thread(dealwith_audio_cp_buf, std::ref(controller.clock()), std::ref(bus));
    }
    void stop_workers() {
        shutdown_->set();
        if (playback_.joinable()) playback_.join();
        if (capture_.joinable()) capture_.join();
    }
    void queue_playback(const Submit& s) {
        const Bytes b = converted(s);
        g_dev.pb_queue.push(b.data(), b.size());
        pb_complete_->set();
    }
    void queue_capture(const Submit& s) {
        const Bytes b = converted(s);
        g_dev.cp_queue.push(b.data(), b.size());
        cp_complete_->set();
    }

    // Not paired, on the system's clock: the replies' times are measured.
    FakeController controller;
    TimedBus bus;
    EventHandle pb_complete_ = open_named_event(EVENT_PB_COMPLETE, EventReset::AUTO);
    EventHandle cp_complete_ = open_named_event(EVENT_CP_COMPLETE, EventReset::AUTO);
    EventHandle shutdown_ = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);

  private:
    std::thread playback_;
    std::thread capture_;
};

}  // namespace quor::test
