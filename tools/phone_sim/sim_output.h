// Everything the simulator prints: event lines for the tests ("connected",
// "recv PAIR_QUERY", ...) and the transcript of every frame in hex, seen from
// the connector ("P:" program -> phone, "T:" phone -> program). Lines go to
// standard output and, for the transcript, also to the transcript file; each
// is written whole and flushed at once, from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

class SimOutput {
  public:
    SimOutput() = default;
    ~SimOutput();
    SimOutput(const SimOutput&) = delete;
    SimOutput& operator=(const SimOutput&) = delete;

    // Opens (truncates) the transcript file. 0 on success, -1 otherwise.
    int open_transcript(const char* path);

    void event(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // DIRECTION is 'P' for bytes the connector sent, 'T' for bytes sent to it.
    void transcript(char direction, const uint8_t* bytes, size_t len);

  private:
    std::mutex m_mutex;
    FILE* m_transcript = nullptr;
};

// "2C 04 C0 A8" — upper-case hex pairs separated by single spaces. Returns the
// text length; the text is cut at whole pairs when OUT is too small.
size_t format_hex_bytes(const uint8_t* bytes, size_t len, char* out, size_t out_size);
