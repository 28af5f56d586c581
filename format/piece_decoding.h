// Decoding one compressed piece of an entry, strictly: the frame must be a
// single zstd frame filling the piece exactly, state the piece's decoded
// size and carry a content checksum that matches. Platform-free; the
// launcher's threads that run it live in payload/piece_decoder_win32.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format/archive_reader.h"

struct ZSTD_DCtx_s;
using piece_context = ZSTD_DCtx_s;

// A decoding context (about 100 KiB of the heap), or nullptr without memory.
piece_context* new_piece_context();
// For a context that is not kept until the process ends.
void free_piece_context(piece_context* context);

// Decodes `piece` into `out` (piece.decoded_size bytes). False for any frame
// that is not exactly what the packer writes, or whose checksum differs.
bool decode_piece(piece_context* context, const payload_piece& piece, uint8_t* out);

// The same decoding, handing the decoded bytes on while they are still in
// the processor's cache: each time at least `stretch` more bytes of `out`
// are decoded, `sink` gets them (with their offset in the piece), and the
// rest at the end. A frame is only known whole at its checksum, after the
// last stretch: the caller reports damage after having handed bytes on.
enum class streamed_piece { decoded, damaged, sink_failed };
using piece_sink = bool (*)(const void* state, const uint8_t* bytes, size_t count, size_t offset);
streamed_piece decode_piece_streamed(piece_context* context, const payload_piece& piece, uint8_t* out,
                                     size_t stretch, piece_sink sink, const void* state);

// The same for a block of the solid form, into `out` (block.decoded_size
// bytes): calls `ready(state, count)` whenever more of it is
// decoded: `count` bytes from the start of `out` are final, and the caller
// may write them out while they are still in the processor's cache. The
// frame's checksum is checked at its end only, so bytes handed out before
// may be damaged; false then, or when `ready` returns false.
using block_ready = bool (*)(void* state, size_t count);
bool decode_block(piece_context* context, const payload_piece& block, uint8_t* out, block_ready ready,
                  void* state);
