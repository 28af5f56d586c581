// The launcher's decoding window: compressed pieces decoded on worker
// threads and written where they belong (piece_decoder_win32.cpp). The
// decoding of one piece is format/piece_decoding.h's.
#pragma once
#include <cstdint>

#include "format/piece_decoding.h"

#ifdef _WIN32
// The decoding window of the parent's writer: the writer queues each piece
// with the file and offset it belongs at, in archive order; worker threads
// decode it and write it there; the writer takes the finished pieces back in
// the same order. At most PIECE_WINDOW_SLOTS pieces are held, so memory
// does not grow with the payload. A payload of a few pieces starts no
// thread: the writer decodes and writes them itself.
constexpr int PIECE_DECODER_THREAD_CAP = 8;
constexpr size_t PIECE_WINDOW_SLOTS = 2 * PIECE_DECODER_THREAD_CAP + 2;
// Below this many decoded bytes a payload is decoded on the writing thread.
constexpr uint64_t PIECE_THREADS_THRESHOLD = 4 * PIECE_SIZE;

struct queued_piece {
    payload_piece piece;
    void* file;       // a HANDLE open for writing
    uint64_t offset;  // where the decoded bytes go in it
    bool last;        // the file's last piece: it may be closed once written
};

enum class piece_outcome { written, damaged, write_failed };

struct retired_piece {
    queued_piece job;
    piece_outcome outcome;
    const u16* entry_name;  // valid until the next queue_piece
};

// Decodes the piece into `buffer` (PIECE_SIZE bytes) and writes it at its
// offset in its file.
piece_outcome decode_and_write(piece_context* context, const queued_piece& job, uint8_t* buffer);

// Starts the workers, as many as the processors (capped), when
// `decoded_size` bytes (at least) warrant them and none run yet; true when
// workers are there to take pieces.
bool start_piece_workers(uint64_t decoded_size);

// True when every slot holds a piece: retire one before queuing the next.
bool piece_window_full();

// Hands a piece to the workers (a slot must be free). `archive_end` bounds
// the read-ahead of the payload's pages.
void queue_piece(const queued_piece& job, const u16* entry_name, const uint8_t* archive_end);

// Waits for the oldest piece in the window to be finished and takes it out;
// false when the window is empty.
bool retire_oldest_piece(retired_piece& out);
#endif
