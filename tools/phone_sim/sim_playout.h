// The phone's playout buffer, used when its media clock runs apart from the
// connector's: packets are pushed as they arrive and one is taken each 10 ms
// of the phone's own clock. A take that finds none repeats the last frame;
// the buffer keeps at most CAPACITY packets (the oldest goes), and when at
// least TRIM_WAITING have waited at every take of a whole window it drops the
// oldest, so a phone whose clock is slow sheds the surplus instead of letting
// the delay grow. Not thread-safe: the caller locks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class SimPlayout {
  public:
    static constexpr size_t CAPACITY = 6;
    static constexpr uint32_t WINDOW = 100;    // takes: 1 s
    static constexpr size_t TRIM_WAITING = 3;  // the one taken included

    void push(const int16_t* samples, size_t count) {
        if (m_waiting.size() == CAPACITY) {
            m_waiting.pop_front();
            ++m_dropped;
        }
        m_waiting.emplace_back(samples, samples + count);
    }

    // The frame to play now in OUT; false before the first packet.
    bool take(std::vector<int16_t>* out) {
        if (m_waiting.empty()) {
            if (!m_started) return false;
            ++m_repeated;
            *out = m_last;
            m_least_waiting = 0;
        } else {
            m_least_waiting =
                m_takes == 0 ? m_waiting.size() : std::min(m_least_waiting, m_waiting.size());
            m_last = std::move(m_waiting.front());
            m_waiting.pop_front();
            m_started = true;
            *out = m_last;
        }
        ++m_played;
        if (++m_takes == WINDOW) {
            if (m_least_waiting >= TRIM_WAITING && !m_waiting.empty()) {
                m_waiting.pop_front();
                ++m_dropped;
            }
            m_takes = 0;
        }
        return true;
    }

    size_t waiting() const { return m_waiting.size(); }
    uint64_t played() const { return m_played; }
    uint64_t repeated() const { return m_repeated; }
    uint64_t dropped() const { return m_dropped; }

  private:
    std::deque<std::vector<int16_t>> m_waiting;
    std::vector<int16_t> m_last;
    bool m_started = false;
    uint32_t m_takes = 0;
    size_t m_least_waiting = 0;
    uint64_t m_played = 0;
    uint64_t m_repeated = 0;
    uint64_t m_dropped = 0;
};
