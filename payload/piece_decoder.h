// Decoding one compressed piece of an entry, strictly: the frame must be a
// single zstd frame filling the piece exactly, state the piece's decoded
// size and carry a content checksum that matches. Platform-free; the
// threads that run it live in piece_decoder_win32.cpp.
#pragma once
#include <cstdint>

#include "payload/archive_reader.h"

struct ZSTD_DCtx_s;
using piece_context = ZSTD_DCtx_s;

// A decoding context (about 100 KiB of the heap), or nullptr without memory.
piece_context* new_piece_context();

// Decodes `piece` into `out` (piece.decoded_size bytes). False for any frame
// that is not exactly what the packer writes, or whose checksum differs.
bool decode_piece(piece_context* context, const payload_piece& piece, uint8_t* out);

#ifdef _WIN32
// The decoding window of the parent's writer: pieces are read ahead of it, in
// archive order, and decoded on worker threads while it creates, writes and
// closes files; it takes them back in the same order. At most
// PIECE_WINDOW_SLOTS decoded pieces are held, so memory does not grow with
// the payload. A payload of a few pieces starts no thread and is decoded on
// the writing thread.
constexpr int PIECE_DECODER_THREAD_CAP = 8;
constexpr size_t PIECE_WINDOW_SLOTS = 2 * PIECE_DECODER_THREAD_CAP + 2;
// Below this many decoded bytes a payload is decoded on the writing thread.
constexpr uint64_t PIECE_THREADS_THRESHOLD = 4 * PIECE_SIZE;

// Worker threads wanted (the processor count, capped, by default); 0 decodes
// every piece on the writing thread. For tests and benchmarks.
void set_piece_decoder_threads(int count);

// Starts reading ahead from `archive`'s cursor (just past the header, or at
// a later entry's name) when `decoded_total` bytes warrant threads.
void start_piece_decoding(const payload_archive& archive, uint64_t decoded_total);

// The decoded bytes of `piece`, the writer's next piece in archive order,
// valid until release_decoded_piece; nullptr when it does not decode.
const uint8_t* take_decoded_piece(const payload_piece& piece);
void release_decoded_piece();

// Waits for the pieces still being decoded and forgets the rest; the
// window is empty afterwards.
void finish_piece_decoding();
#endif
