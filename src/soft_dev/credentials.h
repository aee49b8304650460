// Reassembly of the sign-in texts that Lync writes in chunks of its request
// report 3: domain, user name and password, in that order. A text travels as
// one only chunk (up to 29 bytes) or as a first chunk (29 bytes and the total
// length), middle chunks of 31 bytes and a last chunk with the rest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// Report 3 as the host writes it: the report id and 32 bytes.
constexpr size_t LYNC_REPORT_SIZE = 33;
constexpr uint8_t LYNC_REPORT_ID = 3;
constexpr uint8_t HID_SET_REPORT = 0x09;
// Bits 0 to 3 of data byte 1 are the request code; 5 carries a chunk.
constexpr uint8_t LYNC_REQUEST_CODE_MASK = 0x0F;
constexpr uint8_t LYNC_CREDENTIAL_CODE = 5;
// Each text holds at most 199 bytes and its NUL.
constexpr size_t CREDENTIAL_SLOT_SIZE = 200;
constexpr size_t CREDENTIAL_TEXT_MAX = CREDENTIAL_SLOT_SIZE - 1;
constexpr int CREDENTIAL_SLOTS = 3;
constexpr size_t FIRST_CHUNK_TEXT = 29;
constexpr size_t NEXT_CHUNK_TEXT = 31;

// Bits 6 and 7 of data byte 1.
enum ChunkPosition : uint8_t {
    CHUNK_MIDDLE = 0x00,
    CHUNK_FIRST = 0x40,
    CHUNK_LAST = 0x80,
    CHUNK_ONLY = 0xC0,
};
constexpr uint8_t CHUNK_POSITION_MASK = 0xC0;

enum CredentialSlot { SLOT_DOMAIN = 0, SLOT_USER_NAME = 1, SLOT_PASSWORD = 2 };

class CredentialAssembler {
  public:
    // Takes one chunk (REPORT is the whole report 3, missing bytes zero) and
    // logs its line. True when it completed the third text: the set is then
    // in the slots and the count starts again from 0. Chunks that would
    // write past a slot, chunks beyond the announced length and middle or
    // last chunks without a first are logged and go no further than the
    // bounds allow.
    bool take_chunk(const uint8_t report[LYNC_REPORT_SIZE]);

    const char* slot(int i) const { return slots_[i]; }
    int count() const { return count_; }
    // Forgets the set after it was sent.
    void wipe_slots();

  private:
    void start_text(size_t announced, const uint8_t* text, size_t carried);
    void append(const uint8_t* text, size_t n);
    void finish_text();

    char slots_[CREDENTIAL_SLOTS][CREDENTIAL_SLOT_SIZE] = {};
    int count_ = 0;
    char buffer_[CREDENTIAL_SLOT_SIZE] = {};
    bool open_ = false;     // a first chunk came and its last has not
    size_t announced_ = 0;  // total length the first chunk announced
    size_t received_ = 0;   // text bytes the chunks so far carried
};

}  // namespace quor
