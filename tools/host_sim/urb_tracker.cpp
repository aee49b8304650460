#include "urb_tracker.h"

#include <chrono>

#include "host_text.h"

namespace {

// How many retired seqnums of each kind are remembered to explain a stray
// reply; older ones are reported as answered already.
constexpr size_t RECENT_LIMIT = 4096;

}  // namespace

void UrbTracker::RecentSet::insert(uint32_t seqnum) {
    if (!m_set.insert(seqnum).second) return;
    m_order.push_back(seqnum);
    if (m_order.size() > RECENT_LIMIT) {
        m_set.erase(m_order.front());
        m_order.pop_front();
    }
}

uint32_t UrbTracker::add(const UrbShape& shape, UrbCallback done) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t seqnum = ++m_last_seqnum;
    Entry& e = m_urbs[seqnum];
    e.shape = shape;
    e.callback = std::move(done);
    return seqnum;
}

int UrbTracker::begin_unlink(uint32_t victim, uint32_t* unlink_seqnum) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_urbs.find(victim);
    if (it == m_urbs.end()) {
        bool sent = victim != 0 && victim <= m_last_seqnum && !m_unlink_seqnums.contains(victim);
        return sent ? 1 : -1;
    }
    if (it->second.done) return 1;
    uint32_t seqnum = ++m_last_seqnum;
    it->second.unlinking = true;
    m_unlinks[seqnum].victim = victim;
    m_unlink_seqnums.insert(seqnum);
    *unlink_seqnum = seqnum;
    return 0;
}

int UrbTracker::shape_of(uint32_t seqnum, UrbShape* shape, std::string* why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_urbs.find(seqnum);
    if (it != m_urbs.end() && !it->second.done) {
        *shape = it->second.shape;
        return 0;
    }
    if (it != m_urbs.end()) {
        *why = it->second.unlinked ? "which was unlinked" : "which was answered already";
    } else if (m_unlink_seqnums.contains(seqnum)) {
        *why = "which is the seqnum of a CMD_UNLINK";
    } else if (seqnum == 0 || seqnum > m_last_seqnum) {
        *why = "which was never sent";
    } else if (m_unlinked.contains(seqnum)) {
        *why = "which was unlinked";
    } else {
        *why = "which was answered already";
    }
    return -1;
}

void UrbTracker::retire_if_finished(std::map<uint32_t, Entry>::iterator it) {
    const Entry& e = it->second;
    if (e.done && e.taken && !e.unlinking) m_urbs.erase(it);
}

void UrbTracker::take_for_callback(uint32_t seqnum, Entry* e, UrbCompletion* done) {
    if (!e->callback) return;
    done->seqnum = seqnum;
    done->callback = std::move(e->callback);
    done->result = std::move(e->result);
    e->taken = true;
}

void UrbTracker::on_ret_submit(RetPdu& pdu, std::vector<std::string>* problems,
                               UrbCompletion* done) {
    done->callback = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    const RetHeader& h = pdu.header;
    auto it = m_urbs.find(h.seqnum);
    if (it == m_urbs.end() || it->second.done) return;  // refused by shape_of already
    Entry& e = it->second;
    if (!e.shape.in && h.actual_length > e.shape.buffer_length) {
        problems->push_back(strfmt("RET_SUBMIT seqnum %u reports %u bytes taken of %u sent",
                                   h.seqnum, h.actual_length, e.shape.buffer_length));
    }
    e.result.status = h.status;
    e.result.actual_length = h.actual_length;
    e.result.data = std::move(pdu.data);
    e.result.iso = std::move(pdu.iso);
    e.result.start_frame = h.start_frame;
    e.result.error_count = h.error_count;
    e.done = true;
    if (e.unlinking) {
        for (auto& entry : m_unlinks) {
            if (entry.second.victim == h.seqnum) entry.second.victim_answered = true;
        }
    }
    take_for_callback(h.seqnum, &e, done);
    retire_if_finished(it);
    m_cv.notify_all();
}

void UrbTracker::on_ret_unlink(const RetHeader& h, std::vector<std::string>* problems,
                               UrbCompletion* done) {
    done->callback = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto uit = m_unlinks.find(h.seqnum);
    if (uit == m_unlinks.end() || uit->second.done) {
        const char* what = m_unlink_seqnums.contains(h.seqnum) ? "answered already"
                           : m_urbs.count(h.seqnum) != 0       ? "a CMD_SUBMIT's seqnum"
                                                               : "no CMD_UNLINK in flight";
        problems->push_back(strfmt("RET_UNLINK for seqnum %u: %s", h.seqnum, what));
        return;
    }
    Unlink& u = uit->second;
    u.done = true;
    u.status = h.status;
    m_unlinked.insert(u.victim);

    auto it = m_urbs.find(u.victim);
    if (u.victim_answered) {
        if (h.status != 0) {
            problems->push_back(
                strfmt("RET_UNLINK status %d for seqnum %u, which had been answered (expected 0)",
                       h.status, u.victim));
        }
    } else if (h.status != STATUS_ECONNRESET) {
        problems->push_back(
            strfmt("RET_UNLINK status %d for seqnum %u, which was still pending (expected %d)",
                   h.status, u.victim, STATUS_ECONNRESET));
    }
    if (it != m_urbs.end()) {
        Entry& e = it->second;
        e.unlinking = false;
        if (!e.done) {
            e.done = true;
            e.unlinked = true;
            e.result.status = h.status;
            e.result.unlinked = true;
            take_for_callback(u.victim, &e, done);
        }
        retire_if_finished(it);
    }
    m_cv.notify_all();
}

void UrbTracker::close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_cv.notify_all();
}

UrbTracker::WaitResult UrbTracker::wait(uint32_t seqnum, int timeout_ms, UrbResult* result) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto it = m_urbs.find(seqnum);
        if (it == m_urbs.end()) return CLOSED;
        if (it->second.done) {
            *result = std::move(it->second.result);
            it->second.taken = true;
            retire_if_finished(it);
            return DONE;
        }
        if (m_closed) return CLOSED;
        if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            it = m_urbs.find(seqnum);
            if (it == m_urbs.end() || !it->second.done) return m_closed ? CLOSED : TIMEOUT;
        }
    }
}

UrbTracker::WaitResult UrbTracker::wait_unlink(uint32_t unlink_seqnum, int timeout_ms,
                                               int32_t* status) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto it = m_unlinks.find(unlink_seqnum);
        if (it == m_unlinks.end()) return CLOSED;
        if (it->second.done) {
            *status = it->second.status;
            m_unlinks.erase(it);
            return DONE;
        }
        if (m_closed) return CLOSED;
        if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            it = m_unlinks.find(unlink_seqnum);
            if (it == m_unlinks.end() || !it->second.done) return m_closed ? CLOSED : TIMEOUT;
        }
    }
}
