#include "soft_dev/credentials.h"

#include <algorithm>
#include <cstring>

#include "base/diag_log.h"
#include "soft_dev/gbk_log.h"

namespace quor {

namespace {
constexpr size_t POSITION_BYTE = 1;
constexpr size_t LENGTH_BYTE = 2;
constexpr size_t FIRST_TEXT_BYTE = 4;  // first and only chunks
constexpr size_t NEXT_TEXT_BYTE = 2;   // middle and last chunks
}  // namespace

void CredentialAssembler::start_text(size_t announced, const uint8_t* text, size_t carried) {
    if (open_) quor_log("HIDDEV: unfinished credential text dropped\n");
    if (announced > CREDENTIAL_TEXT_MAX)
        quor_log("HIDDEV: credential text of %zu bytes cut to %zu\n", announced,
                 CREDENTIAL_TEXT_MAX);
    announced_ = announced;
    received_ = 0;
    append(text, carried);
}

// Keeps what fits the announced length and the buffer; the bytes count as
// received either way, so the chunk arithmetic follows the host's.
void CredentialAssembler::append(const uint8_t* text, size_t n) {
    const size_t limit = std::min(announced_, CREDENTIAL_TEXT_MAX);
    if (received_ < limit) memcpy(buffer_ + received_, text, std::min(n, limit - received_));
    received_ += n;
}

void CredentialAssembler::finish_text() {
    const size_t len = std::min({received_, announced_, CREDENTIAL_TEXT_MAX});
    buffer_[len] = '\0';
    memcpy(slots_[count_], buffer_, len + 1);
    explicit_bzero(buffer_, sizeof(buffer_));
    ++count_;
    open_ = false;
}

bool CredentialAssembler::take_chunk(const uint8_t report[LYNC_REPORT_SIZE]) {
    const uint8_t position = report[POSITION_BYTE] & CHUNK_POSITION_MASK;
    const uint8_t* next_text = report + NEXT_TEXT_BYTE;
    switch (position) {
        case CHUNK_FIRST:
            start_text(report[LENGTH_BYTE], report + FIRST_TEXT_BYTE, FIRST_CHUNK_TEXT);
            open_ = true;
            quor_log("%s", gbk_line(GbkLine::CHUNK_BEGIN));
            return false;
        case CHUNK_MIDDLE:
            if (!open_) {
                quor_log("HIDDEV: credential chunk without a first chunk dropped\n");
                return false;
            }
            if (received_ >= announced_)
                quor_log("HIDDEV: credential chunk beyond the announced %zu bytes ignored\n",
                         announced_);
            else
                append(next_text, std::min(NEXT_CHUNK_TEXT, announced_ - received_));
            quor_log("%s", gbk_line(GbkLine::CHUNK_MID));
            return false;
        case CHUNK_LAST: {
            if (!open_) {
                quor_log("HIDDEV: credential chunk without a first chunk dropped\n");
                return false;
            }
            const size_t remaining = announced_ > received_ ? announced_ - received_ : 0;
            if (remaining > NEXT_CHUNK_TEXT)
                quor_log("HIDDEV: credential text ended %zu bytes short\n",
                         remaining - NEXT_CHUNK_TEXT);
            append(next_text, std::min(remaining, NEXT_CHUNK_TEXT));
            finish_text();
            quor_log("%s", gbk_line(GbkLine::CHUNK_END));
            break;
        }
        default: {  // CHUNK_ONLY
            const size_t announced = report[LENGTH_BYTE];
            if (announced > FIRST_CHUNK_TEXT)
                quor_log("HIDDEV: only chunk announces %zu bytes and carries %zu\n", announced,
                         FIRST_CHUNK_TEXT);
            const size_t carried = std::min(announced, FIRST_CHUNK_TEXT);
            start_text(carried, report + FIRST_TEXT_BYTE, carried);
            finish_text();
            quor_log("%s", gbk_line(GbkLine::CHUNK_ONLY));
            break;
        }
    }
    if (count_ < CREDENTIAL_SLOTS) return false;
    count_ = 0;
    return true;
}

void CredentialAssembler::wipe_slots() {
    explicit_bzero(slots_, sizeof(slots_));
}

}  // namespace quor
