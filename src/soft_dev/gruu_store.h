// The GRUU that the phone obtained for the user, kept for Lync and handed
// over in pieces of input report 4 by the interrupt worker. The phone-link
// session stores it, the main window's GRUU timer offers it again, the
// device's stop frees it and the worker reads it: every access holds the
// store's lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// The longest GRUU whose length fits the first piece's length byte.
constexpr size_t GRUU_MAX = 255;
// Report 4: the report id and 32 bytes.
constexpr size_t GRUU_REPORT_SIZE = 33;
constexpr size_t GRUU_FIRST_PIECE_TEXT = 29;
constexpr size_t GRUU_NEXT_PIECE_TEXT = 31;

// Replaces the stored GRUU with a copy of TEXT and arms a transfer; an empty
// text only discards the stored one. -1 for a missing text or one longer
// than GRUU_MAX (the stored GRUU is then discarded too), else 0.
int set_gruu(const char* text);
// Restarts the transfer of the stored GRUU from its first piece: 0, or -1
// when none is stored.
int send_gruu();
// Frees the stored GRUU (device stop); g_lync.gruu_pending keeps its value.
void release_gruu();
// A transfer is armed: g_lync.gruu_pending is 1 and a GRUU is stored.
bool gruu_transfer_armed();

enum class GruuPieceKind { FIRST, MIDDLE, LAST };

struct GruuPiece {
    uint8_t report[GRUU_REPORT_SIZE];
    GruuPieceKind kind;
    size_t next_cursor;
    uint64_t generation;  // of the store the piece was cut from
};

// Cuts the next piece of an armed transfer into *PIECE; false when no
// transfer is armed.
bool next_gruu_piece(GruuPiece* piece);
// The piece was written: moves the transfer on (the last piece ends it) and
// logs. Nothing moves when the store changed since the piece was cut.
void commit_gruu_piece(const GruuPiece& piece);

}  // namespace quor
