#include "soft_dev/gruu_store.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "base/diag_log.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"

namespace quor {

namespace {
constexpr uint8_t GRUU_REPORT_ID = 0x04;
constexpr uint8_t FIRST_PIECE = 0x42;
constexpr uint8_t MIDDLE_PIECE = 0x02;
constexpr uint8_t LAST_PIECE = 0x82;

std::mutex g_gruu_lock;
// Guarded by g_gruu_lock. The cursor exists exactly while a GRUU is stored.
std::string g_gruu_text;
bool g_gruu_stored = false;
size_t g_gruu_cursor = 0;
uint64_t g_gruu_generation = 0;

void discard_locked() {
    g_gruu_text.clear();
    g_gruu_stored = false;
    g_gruu_cursor = 0;
    ++g_gruu_generation;
}
}  // namespace

int set_gruu(const char* text) {
    if (!text) return -1;
    const size_t len = strnlen(text, GRUU_MAX + 1);
    std::lock_guard lk(g_gruu_lock);
    discard_locked();
    if (len == 0) {
        quor_log("GRUU: Set gruu failed!\n");
        return 0;
    }
    if (len > GRUU_MAX) {
        quor_log("GRUU: gruu longer than %zu bytes refused\n", GRUU_MAX);
        return -1;
    }
    g_gruu_text.assign(text, len);
    g_gruu_stored = true;
    g_lync.gruu_pending = 1;
    quor_log("GRUU: Set gruu Success! gruu: %s\n", log_text(g_gruu_text).c_str());
    return 0;
}

int send_gruu() {
    quor_log("GRUU: send gruu()\n");
    std::lock_guard lk(g_gruu_lock);
    if (!g_gruu_stored) {
        quor_log("GRUU: Fail gruu is NULL\n");
        return -1;
    }
    g_gruu_cursor = 0;
    ++g_gruu_generation;
    g_lync.gruu_pending = 1;
    return 0;
}

void release_gruu() {
    std::lock_guard lk(g_gruu_lock);
    discard_locked();
}

bool gruu_transfer_armed() {
    std::lock_guard lk(g_gruu_lock);
    return g_lync.gruu_pending == 1 && g_gruu_stored;
}

bool next_gruu_piece(GruuPiece* piece) {
    std::lock_guard lk(g_gruu_lock);
    if (g_lync.gruu_pending != 1 || !g_gruu_stored) return false;
    uint8_t* r = piece->report;
    memset(r, 0, GRUU_REPORT_SIZE);
    r[0] = GRUU_REPORT_ID;
    const size_t len = g_gruu_text.size();
    const char* text = g_gruu_text.data();
    const size_t cursor = g_gruu_cursor;
    if (cursor == 0) {
        const size_t n = std::min(len, GRUU_FIRST_PIECE_TEXT);
        r[1] = FIRST_PIECE;
        r[2] = uint8_t(len);
        memcpy(r + 4, text, n);
        piece->kind = GruuPieceKind::FIRST;
        piece->next_cursor = n;
    } else if (len - cursor >= GRUU_NEXT_PIECE_TEXT) {
        r[1] = MIDDLE_PIECE;
        memcpy(r + 2, text + cursor, GRUU_NEXT_PIECE_TEXT);
        piece->kind = GruuPieceKind::MIDDLE;
        piece->next_cursor = cursor + GRUU_NEXT_PIECE_TEXT;
    } else {
        r[1] = LAST_PIECE;
        memcpy(r + 2, text + cursor, len - cursor);
        piece->kind = GruuPieceKind::LAST;
        piece->next_cursor = 0;
    }
    piece->generation = g_gruu_generation;
    return true;
}

void commit_gruu_piece(const GruuPiece& piece) {
    std::lock_guard lk(g_gruu_lock);
    if (piece.generation != g_gruu_generation) return;
    g_gruu_cursor = piece.next_cursor;
    if (piece.kind == GruuPieceKind::FIRST) quor_log("GRUU: Now send gruu data.\n");
    if (piece.kind == GruuPieceKind::LAST) {
        quor_log("GRUU: Gruu data send finished.\n");
        g_lync.gruu_pending = 0;
        ++g_gruu_generation;
    }
}

}  // namespace quor
