// The strict decoding of one piece. Platform-free: zstd's own decoder on
// bytes in memory.
#include "format/piece_decoding.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

piece_context* new_piece_context() { return ZSTD_createDCtx(); }

void free_piece_context(piece_context* context) { ZSTD_freeDCtx(context); }

bool decode_piece(piece_context* context, const payload_piece& piece, uint8_t* out) {
    // zstd checks a checksum only when the frame says it has one, and takes
    // the frame's word for its size: both are checked here against what the
    // packer always writes, so a damaged flag cannot switch a check off.
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, piece.frame, piece.frame_size) != 0) return false;
    if (header.frameType != ZSTD_frame || header.frameContentSize != piece.decoded_size ||
        !header.checksumFlag || header.dictID != 0)
        return false;
    if (ZSTD_findFrameCompressedSize(piece.frame, piece.frame_size) != piece.frame_size) return false;
    size_t decoded = ZSTD_decompressDCtx(context, out, piece.decoded_size, piece.frame, piece.frame_size);
    return !ZSTD_isError(decoded) && decoded == piece.decoded_size;
}
