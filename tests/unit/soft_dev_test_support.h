// Helpers for the virtual device's tests: a recording VirtualBus, request
// PDUs as a host sends them, and a capture of the diagnostic lines.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/vbus.h"
#include "platform/vbus_wire.h"

namespace quor::test {

using Bytes = std::vector<uint8_t>;

// Everything written to standard output while it lives. GoogleTest reports
// a failed check on standard output too; while a capture is active, failures
// are also written to the real standard output, so they are never swallowed.
class LogCapture {
  public:
    LogCapture() {
        static const bool echo_installed = [] {
            testing::UnitTest::GetInstance()->listeners().Append(new FailureEcho);
            return true;
        }();
        (void)echo_installed;
        fflush(stdout);
        sink_ = tmpfile();
        saved_ = dup(STDOUT_FILENO);
        dup2(fileno(sink_), STDOUT_FILENO);
        echo_fd() = saved_;
    }
    ~LogCapture() {
        restore();
        fclose(sink_);
    }
    // Text so far (stops the capture).
    std::string text() {
        restore();
        std::string out;
        rewind(sink_);
        for (int c; (c = fgetc(sink_)) != EOF;) out += char(c);
        return out;
    }

  private:
    class FailureEcho : public testing::EmptyTestEventListener {
        void OnTestPartResult(const testing::TestPartResult& result) override {
            const int fd = echo_fd();
            if (fd < 0 || !result.failed()) return;
            dprintf(fd, "%s:%d: Failure (reported during a log capture)\n%s\n",
                    result.file_name() ? result.file_name() : "unknown file", result.line_number(),
                    result.message());
        }
    };
    // The real standard output while a capture is active, -1 otherwise.
    static std::atomic<int>& echo_fd() {
        static std::atomic<int> fd{-1};
        return fd;
    }
    void restore() {
        if (saved_ < 0) return;
        echo_fd() = -1;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    FILE* sink_ = nullptr;
    int saved_ = -1;
};

inline size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A CMD_SUBMIT as on the wire (big-endian header words).
struct Submit {
    uint32_t seqnum = 1;
    uint32_t direction = USBIP_DIR_IN;
    uint32_t ep = 0;
    uint32_t length = 0;  // transfer_buffer_length
    uint32_t packets = 0;
    std::array<uint8_t, 8> setup{};
    Bytes out_data;              // OUT data, `length` bytes
    std::vector<IsoPacket> iso;  // descriptors; `packets` of them

    Bytes wire() const {
        Bytes b(USBIP_HEADER_SIZE + out_data.size() + iso.size() * USBIP_ISO_DESC_SIZE, 0);
        put_be32(&b[USBIP_COMMAND], USBIP_CMD_SUBMIT);
        put_be32(&b[USBIP_SEQNUM], seqnum);
        put_be32(&b[USBIP_DEVID], 0x00010002);
        put_be32(&b[USBIP_DIRECTION], direction);
        put_be32(&b[USBIP_EP], ep);
        put_be32(&b[USBIP_LENGTH], length);
        put_be32(&b[USBIP_PACKETS], packets);
        std::copy(setup.begin(), setup.end(), b.begin() + USBIP_SETUP);
        std::copy(out_data.begin(), out_data.end(), b.begin() + USBIP_HEADER_SIZE);
        size_t at = USBIP_HEADER_SIZE + out_data.size();
        for (const IsoPacket& p : iso) {
            put_be32(&b[at], p.offset);
            put_be32(&b[at + 4], p.length);
            at += USBIP_ISO_DESC_SIZE;
        }
        return b;
    }
};

// A control request: setup packet fields, IN unless bmRequestType says OUT.
inline Submit control(uint32_t seqnum, uint8_t request_type, uint8_t request, uint16_t value,
                      uint16_t index, uint16_t w_length) {
    Submit s;
    s.seqnum = seqnum;
    s.direction = (request_type & 0x80) ? USBIP_DIR_IN : USBIP_DIR_OUT;
    s.length = w_length;
    s.setup = {request_type,      request,
               uint8_t(value),    uint8_t(value >> 8),
               uint8_t(index),    uint8_t(index >> 8),
               uint8_t(w_length), uint8_t(w_length >> 8)};
    if (s.direction == USBIP_DIR_OUT) s.out_data.assign(w_length, 0xA5);
    return s;
}

inline Bytes unlink_pdu(uint32_t seqnum, uint32_t victim) {
    Bytes b(USBIP_HEADER_SIZE, 0);
    put_be32(&b[USBIP_COMMAND], USBIP_CMD_UNLINK);
    put_be32(&b[USBIP_SEQNUM], seqnum);
    put_be32(&b[USBIP_UNLINK_SEQNUM], victim);
    return b;
}

// A VirtualBus that records what the device logic does to it.
class FakeBus : public VirtualBus {
  public:
    std::mutex mu;
    bool find_ok = true;
    bool open_ok = true;
    Bytes port_table = Bytes(PORT_STATUS_SIZE, 1);
    int refusals = 0;  // plug-in requests refused before one is accepted; -1: all
    std::function<void(int call)> on_plugin;  // runs at each plug-in request
    std::function<void()> on_close;           // runs when the bus is closed

    std::vector<Bytes> plugin_records;
    std::vector<Bytes> unplug_records;
    std::vector<Bytes> replies;
    std::vector<uint32_t> finished;
    std::deque<Bytes> requests;  // handed out by read_request
    bool host_gone = false;      // read_request then reports -1
    int close_calls = 0;
    int reads = 0;
    UnlinkHandler unlink_handler;

    int find_vbus_device_path(char* path, size_t size) override {
        if (!find_ok) return -1;
        snprintf(path, size, "fake-bus");
        return 0;
    }
    int open_device(const char*) override { return open_ok ? 0 : -1; }
    int port_status(uint8_t* out, size_t size) override {
        const size_t n = std::min(size, port_table.size());
        std::copy(port_table.begin(), port_table.begin() + long(n), out);
        return int(n);
    }
    int plugin(const uint8_t* record, size_t len) override {
        int call;
        {
            std::lock_guard lk(mu);
            plugin_records.emplace_back(record, record + len);
            call = int(plugin_records.size());
        }
        if (on_plugin) on_plugin(call);
        return refusals < 0 || call <= refusals ? 1 : 0;
    }
    void unplug(const uint8_t* record, size_t len) override {
        std::lock_guard lk(mu);
        unplug_records.emplace_back(record, record + len);
    }
    void close_device() override {
        if (on_close) on_close();
        std::lock_guard lk(mu);
        ++close_calls;
    }
    int read_request(uint8_t* buf, size_t size, int timeout_ms) override {
        {
            std::lock_guard lk(mu);
            ++reads;
            if (host_gone) return -1;
            if (!requests.empty()) {
                Bytes r = std::move(requests.front());
                requests.pop_front();
                if (r.size() > size) return -1;
                std::copy(r.begin(), r.end(), buf);
                return int(r.size());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 2)));
        return 0;
    }
    void finish_request(uint32_t seqnum) override {
        std::lock_guard lk(mu);
        finished.push_back(seqnum);
    }
    int write_reply(const uint8_t* pdu, size_t len) override {
        std::lock_guard lk(mu);
        replies.emplace_back(pdu, pdu + len);
        return 0;
    }
    void set_unlink_handler(UnlinkHandler handler) override { unlink_handler = std::move(handler); }

    // For other threads while the device runs.
    size_t unplug_count() {
        std::lock_guard lk(mu);
        return unplug_records.size();
    }
    size_t finished_count() {
        std::lock_guard lk(mu);
        return finished.size();
    }
};

}  // namespace quor::test
