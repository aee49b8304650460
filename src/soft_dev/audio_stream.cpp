#include "soft_dev/audio_stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "base/clock.h"
#include "base/diag_log.h"
#include "media/media_api.h"
#include "platform/byte_order.h"
#include "platform/event.h"
#include "soft_dev/audio_pacer.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/iso_request.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/sample_fifo.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
constexpr int64_t WAIT_MS = 100;
constexpr int PB_EMPTY_POLLS = 200;
constexpr int CP_EMPTY_POLLS = 201;
// Most audio one capture reply carries: 100 ms.
constexpr size_t MAX_CAPTURE_BYTES = 10 * USB_FRAME_BYTES;
constexpr size_t MAX_REPLY =
    USBIP_HEADER_SIZE + MAX_CAPTURE_BYTES + MAX_ISO_PACKETS * USBIP_ISO_DESC_SIZE;

// The frame the microphone repeats, fading, while the phone sends nothing.
// Only the capture worker touches it; others ask for it to be cleared.
uint8_t g_last_capture_frame[USB_FRAME_BYTES];
std::atomic<int> g_capture_frame_clear{0};

bool is_set(Event* event) {
    return Event::wait_any(&event, 1, 0) == 0;
}

// Replies built one after another and written together.
class ReplyBatch {
  public:
    void add(const uint8_t* pdu, size_t len, int line, const char* func) {
        log_dev_pkg(pdu, len, __FILE__, line, func);
        parts_.push_back({bytes_.size(), len});
        bytes_.insert(bytes_.end(), pdu, pdu + len);
    }
    void write(VirtualBus& bus) {
        if (parts_.empty()) return;
        refs_.clear();
        for (const auto& [at, len] : parts_) refs_.push_back({bytes_.data() + at, len});
        bus.write_replies(refs_.data(), refs_.size());
        parts_.clear();
        bytes_.clear();
    }

  private:
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<size_t, size_t>> parts_;
    std::vector<VirtualBus::Reply> refs_;
};

// One direction's requests: what differs between the two workers.
class StreamServer {
  public:
    virtual ~StreamServer() = default;
    // Waits for the request's completion time (complete_at) and adds its
    // reply to the replies.
    virtual void serve(const uint8_t* req, size_t len) = 0;
    // Whether the request, taken next, is to complete by NOW_MS (never when
    // its stream was switched on again, which starts a new grid).
    virtual bool due_by(int64_t now_ms, const uint8_t* req, size_t len) = 0;
    // The worker woke to new requests after an idle spell.
    virtual void woke() {}
    // Writes the replies built so far unless WHEN_MS has come, then waits
    // for it: no reply waits behind the next one's completion time.
    void complete_at(int64_t when_ms) {
        if (when_ms <= clock->now_ms()) return;
        replies.write(*bus);
        clock->sleep_until_ms(when_ms);
    }

    AudioPacer pacer;
    Clock* clock = nullptr;
    VirtualBus* bus = nullptr;
    ReplyBatch replies;
};

struct StreamRole {
    const char* tag;
    RequestQueue& queue;
    const char* complete_event;
    std::atomic<int>& alive;
    int empty_poll_limit;
    // Playback starts a new grid whenever it wakes; capture keeps its grid.
    bool rebase_on_wake;
};

// Waits for requests and drains the queue, until SOFTDEV_SHUTDOWN.
int run_stream_worker(Clock& clock, VirtualBus& bus, const StreamRole& role, StreamServer& server) {
    role.alive = 1;
    server.clock = &clock;
    server.bus = &bus;
    const EventHandle complete = open_named_event(role.complete_event, EventReset::AUTO);
    const EventHandle shutdown = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);
    Event* const events[] = {complete.get(), shutdown.get()};
    server.pacer.rebase(clock.now_ms());
    std::vector<uint8_t> node;
    const auto due_now = [&](const uint8_t* req, size_t len) {
        return server.due_by(clock.now_ms(), req, len);
    };
    // Kept across waits: a worker that woke to an empty queue after a full
    // drain polls once and waits again.
    int empty_polls = 0;
    for (;;) {
        const int fired = Event::wait_any(events, 2, WAIT_MS);
        if (fired == 1) break;
        if (fired != 0) continue;
        if (role.rebase_on_wake) server.pacer.rebase(clock.now_ms());
        server.woke();
        while (!is_set(shutdown.get())) {
            if (!role.queue.pop(&node)) {
                clock.sleep_ms(1);
                if (++empty_polls >= role.empty_poll_limit) break;
                continue;
            }
            empty_polls = 0;
            server.serve(node.data(), node.size());
            // Requests whose time has come too (after a late wake-up) are
            // completed with it, in one write.
            while (!is_set(shutdown.get()) && role.queue.pop_if(due_now, &node))
                server.serve(node.data(), node.size());
            server.replies.write(bus);
        }
    }
    quor_log("%s: Received SoftDevice Shutdown event.....\n", role.tag);
    role.alive = 0;
    return 1;
}

class PlaybackServer : public StreamServer {
  public:
    bool due_by(int64_t now_ms, const uint8_t* req, size_t len) override {
        if (g_lync.pb_stream_started != 0 || read_iso_layout(req, len, &peek_) != 0) return false;
        size_t carried = 0;
        for (size_t i = 0; i < peek_.count; ++i) carried += peek_.slice[i].length;
        return pacer.peek_completion(carried) <= now_ms;
    }

    void serve(const uint8_t* req, size_t len) override {
        Clock& clock = *this->clock;
        if (read_iso_layout(req, len, &layout_) != 0) {
            quor_log("PB: request %u of %zu bytes is malformed, dropped\n",
                     pdu_word(req, USBIP_SEQNUM), len);
            return;
        }
        if (g_lync.pb_stream_started.exchange(0) != 0) {
            pacer.rebase(clock.now_ms());
            fifo_.clear();
        }
        const bool to_phone = g_rtp_socket >= 0 && layout_.out_data != nullptr;
        if (!to_phone) {
            fifo_.clear();
            if (sent_ > 0) quor_log("PB: call audio ended: %u frames to the phone\n", sent_);
            sent_ = 0;
        }
        size_t carried = 0;
        for (size_t i = 0; i < layout_.count; ++i) {
            IsoSlice& s = layout_.slice[i];
            s.actual = s.length;
            carried += s.length;
            if (to_phone) forward(layout_.out_data + s.offset, s.length);
        }
        complete_at(pacer.next_completion(carried));
        make_iso_ret_header(req, reply_, 0);
        const size_t n =
            USBIP_HEADER_SIZE + put_iso_descriptors(layout_, reply_ + USBIP_HEADER_SIZE);
        replies.add(reply_, n, __LINE__, "dealwith_audio_pb_buf");
    }

  private:
    // The phone gets whole 10 ms frames, however the host slices the audio.
    void forward(const uint8_t* data, size_t len) {
        while (len > 0) {
            const size_t taken = fifo_.push(data, len);
            data += taken;
            len -= taken;
            while (fifo_.pop(frame_, USB_FRAME_BYTES)) {
                send_playback_audio(frame_, USB_FRAME_BYTES);
                ++sent_;
            }
        }
    }

    IsoLayout layout_;
    IsoLayout peek_;
    SampleFifo fifo_;
    uint8_t frame_[USB_FRAME_BYTES];
    uint8_t reply_[MAX_REPLY];
    unsigned sent_ = 0;
};

class CaptureServer : public StreamServer {
  public:
    bool due_by(int64_t now_ms, const uint8_t* req, size_t len) override {
        if (g_lync.cp_stream_started != 0 || read_iso_layout(req, len, &peek_) != 0) return false;
        return pacer.peek_completion(audio_bytes(peek_)) <= now_ms;
    }

    void serve(const uint8_t* req, size_t len) override {
        Clock& clock = *this->clock;
        if (read_iso_layout(req, len, &layout_) != 0) {
            quor_log("CP: request %u of %zu bytes is malformed, dropped\n",
                     pdu_word(req, USBIP_SEQNUM), len);
            return;
        }
        if (g_lync.cp_stream_started.exchange(0) != 0) {
            pacer.rebase(clock.now_ms());
            fifo_.clear();
            drop_stale_audio();
        }
        const size_t total = audio_bytes(layout_);
        complete_at(pacer.next_completion(total));
        while (fifo_.size() < total) {
            next_frame();
            fifo_.push(frame_, USB_FRAME_BYTES);
        }
        uint8_t* audio = reply_ + USBIP_HEADER_SIZE;
        fifo_.pop(audio, total);
        make_iso_ret_header(req, reply_, uint32_t(total));
        const size_t n = USBIP_HEADER_SIZE + total + put_iso_descriptors(layout_, audio + total);
        replies.add(reply_, n, __LINE__, "dealwith_audio_cp_buf");
    }

    // Audio that queued while the microphone was not read is stale: the
    // host hears the phone from now on, not from when the call opened.
    void woke() override { drop_stale_audio(); }

  private:
    // Sets each packet's share of the audio, at most MAX_CAPTURE_BYTES in
    // all; returns the sum.
    static size_t audio_bytes(IsoLayout& layout) {
        size_t total = 0;
        for (size_t i = 0; i < layout.count; ++i) {
            IsoSlice& s = layout.slice[i];
            s.actual = uint32_t(std::min<size_t>(s.length, MAX_CAPTURE_BYTES - total));
            total += s.actual;
        }
        return total;
    }

    void drop_stale_audio() {
        if (g_rtp_socket < 0) return;
        if (const int n = rtp_discard_waiting(); n > 0)
            quor_log("CP: %d stale packets from the phone dropped\n", n);
    }

    // The phone's next 10 ms, or the last one again at half its level.
    void next_frame() {
        if (g_capture_frame_clear.exchange(0) != 0)
            memset(g_last_capture_frame, 0, sizeof(g_last_capture_frame));
        const bool from_phone = g_rtp_socket >= 0;
        if (from_phone && rtp_receive(frame_) == 0) {
            memcpy(g_last_capture_frame, frame_, USB_FRAME_BYTES);
            ++received_;
        } else {
            memcpy(frame_, g_last_capture_frame, USB_FRAME_BYTES);
            halve_samples(g_last_capture_frame, USB_FRAME_BYTES);
            // Frames missing once the phone's audio has begun.
            if (from_phone && received_ > 0) ++repeated_;
        }
        if (!from_phone && received_ > 0) {
            quor_log("CP: call audio ended: %u frames from the phone, %u repeated\n", received_,
                     repeated_);
            received_ = repeated_ = 0;
        }
    }

    IsoLayout layout_;
    IsoLayout peek_;
    SampleFifo fifo_;
    uint8_t frame_[USB_FRAME_BYTES];
    uint8_t reply_[MAX_REPLY];
    unsigned received_ = 0;
    unsigned repeated_ = 0;
};
}  // namespace

int halve_samples(uint8_t* buf, size_t len) {
    if (buf == nullptr || len == 0 || len % 2 != 0) return -1;
    for (size_t i = 0; i < len; i += 2) put_le16(buf + i, uint16_t(int16_t(get_le16(buf + i)) / 2));
    return 0;
}

void clear_last_capture_frame() {
    g_capture_frame_clear = 1;
}

int dealwith_audio_pb_buf(Clock& clock, VirtualBus& bus) {
    PlaybackServer server;
    const StreamRole role{
        "PB", g_dev.pb_queue, EVENT_PB_COMPLETE, g_dev.pb_worker_alive, PB_EMPTY_POLLS, true};
    return run_stream_worker(clock, bus, role, server);
}

int dealwith_audio_cp_buf(Clock& clock, VirtualBus& bus) {
    CaptureServer server;
    const StreamRole role{"CP",           g_dev.cp_queue, EVENT_CP_COMPLETE, g_dev.cp_worker_alive,
                          CP_EMPTY_POLLS, false};
    return run_stream_worker(clock, bus, role, server);
}

void register_audio_stream_hooks(SoftDevHooks& hooks) {
    hooks.playback_worker = [](DeviceContext& device, VirtualBus& bus) {
        return dealwith_audio_pb_buf(device.clock, bus);
    };
    hooks.capture_worker = [](DeviceContext& device, VirtualBus& bus) {
        return dealwith_audio_cp_buf(device.clock, bus);
    };
}

}  // namespace quor
