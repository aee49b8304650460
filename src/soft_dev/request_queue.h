// First-in first-out queues that carry isochronous and interrupt requests
// from the bus reader to the endpoint workers. Each node holds one
// converted request PDU, sized to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace quor {

class RequestQueue {
  public:
    void push(const uint8_t* pdu, size_t len);
    // Moves the oldest request into OUT; false when the queue is empty.
    bool pop(std::vector<uint8_t>* out);
    // The same, only when TAKE says yes to the oldest request (called under
    // the queue's lock with the request and its length).
    bool pop_if(const std::function<bool(const uint8_t*, size_t)>& take, std::vector<uint8_t>* out);
    // Drops the request with sequence number SEQNUM; false when none is
    // queued.
    bool remove(uint32_t seqnum);
    // Frees every queued request (free_queue).
    void clear();
    size_t size();
    // Isochronous packets of the queued requests, one a millisecond at
    // full speed: how much of its stream the queue holds ahead of its
    // worker.
    uint64_t queued_packets();

  private:
    std::mutex lock_;
    std::deque<std::vector<uint8_t>> nodes_;
    uint64_t packets_ = 0;
};

}  // namespace quor
