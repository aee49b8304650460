// Bookkeeping of the URBs the host has submitted on one connection: seqnums
// (one counter for CMD_SUBMIT and CMD_UNLINK, as in vhci_hcd), which URBs
// still wait for a reply, which are being unlinked, and what became of each
// reply. The reader thread feeds replies in; the thread that submitted a URB
// either waits for its result or gets a callback on the reader thread.
//
// A reply that breaks the protocol is reported: a RET_SUBMIT the host cannot
// match (never sent, answered already, unlinked already) is refused through
// shape_of(), so the framer drops the connection, as the Linux host does;
// odd RET_UNLINKs and impossible lengths are listed as problems and the
// stream goes on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "usbip_wire.h"

struct UrbResult {
    int32_t status = 0;
    uint32_t actual_length = 0;
    std::vector<uint8_t> data;
    std::vector<UsbipIsoPacket> iso;
    int32_t start_frame = 0;
    int32_t error_count = 0;
    bool unlinked = false;  // given back by RET_UNLINK, never answered by RET_SUBMIT
};

using UrbCallback = std::function<void(uint32_t seqnum, const UrbResult& result)>;

// A finished URB whose owner asked for a callback; the reader runs it after
// the tracker's lock is released.
struct UrbCompletion {
    uint32_t seqnum = 0;
    UrbCallback callback;
    UrbResult result;
};

class UrbTracker : public UrbShapeLookup {
  public:
    enum WaitResult { DONE = 0, TIMEOUT = 1, CLOSED = -1 };

    // Registers a URB before its CMD_SUBMIT goes out and gives it the next
    // seqnum. Without DONE its result is kept for wait().
    uint32_t add(const UrbShape& shape, UrbCallback done);

    // Reserves the seqnum of a CMD_UNLINK for VICTIM. 0 when the victim still
    // waits for its reply (send the CMD_UNLINK, then wait_unlink), 1 when it
    // has been answered or unlinked already (nothing to unlink), -1 for a
    // seqnum that no CMD_SUBMIT used.
    int begin_unlink(uint32_t victim, uint32_t* unlink_seqnum);

    int shape_of(uint32_t seqnum, UrbShape* shape, std::string* why) override;

    // A RET_SUBMIT that the framer accepted. A completion with a callback is
    // returned in DONE (callback empty otherwise).
    void on_ret_submit(RetPdu& pdu, std::vector<std::string>* problems, UrbCompletion* done);
    void on_ret_unlink(const RetHeader& h, std::vector<std::string>* problems, UrbCompletion* done);

    // The connection is gone: every waiter returns CLOSED.
    void close();

    // Waits up to TIMEOUT_MS for the URB's result and takes it.
    WaitResult wait(uint32_t seqnum, int timeout_ms, UrbResult* result);
    // Waits up to TIMEOUT_MS for the RET_UNLINK of a CMD_UNLINK; its status.
    WaitResult wait_unlink(uint32_t unlink_seqnum, int timeout_ms, int32_t* status);

  private:
    struct Entry {
        UrbShape shape;
        UrbCallback callback;
        bool done = false;       // its reply (or RET_UNLINK) arrived
        bool unlinked = false;   // given back by RET_UNLINK
        bool taken = false;      // result handed to the waiter or callback
        bool unlinking = false;  // a CMD_UNLINK for it awaits its RET_UNLINK
        UrbResult result;
    };
    struct Unlink {
        uint32_t victim = 0;
        bool victim_answered = false;  // RET_SUBMIT came before the RET_UNLINK
        bool done = false;
        int32_t status = 0;
    };

    // Remembers the last few seqnums of one kind, to name a stray reply.
    class RecentSet {
      public:
        void insert(uint32_t seqnum);
        bool contains(uint32_t seqnum) const { return m_set.count(seqnum) != 0; }

      private:
        std::deque<uint32_t> m_order;
        std::unordered_set<uint32_t> m_set;
    };

    // Drops the entry once nothing can ask for it any more.
    void retire_if_finished(std::map<uint32_t, Entry>::iterator it);
    // Hands a finished URB's result to its callback, if it has one.
    static void take_for_callback(uint32_t seqnum, Entry* e, UrbCompletion* done);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_closed = false;
    uint32_t m_last_seqnum = 0;
    std::map<uint32_t, Entry> m_urbs;
    std::map<uint32_t, Unlink> m_unlinks;
    RecentSet m_unlinked;        // URBs given back by RET_UNLINK
    RecentSet m_unlink_seqnums;  // seqnums that CMD_UNLINKs used
};
