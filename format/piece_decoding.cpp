// The strict decoding of one piece. Platform-free: zstd's own decoder on
// bytes in memory.
#include "format/piece_decoding.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

piece_context* new_piece_context() { return ZSTD_createDCtx(); }

void free_piece_context(piece_context* context) { ZSTD_freeDCtx(context); }

namespace {

// Input handed to the streaming decoder at a time: its output, some hundred
// KiB, is written out before the next step while it is still in the cache.
constexpr size_t BLOCK_INPUT_STEP = 32 << 10;

// zstd checks a checksum only when the frame says it has one, and takes the
// frame's word for its size: both are checked here against what the packer
// always writes, so a damaged flag cannot switch a check off.
bool is_packers_frame(const payload_piece& piece) {
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, piece.frame, piece.frame_size) != 0) return false;
    if (header.frameType != ZSTD_frame || header.frameContentSize != piece.decoded_size ||
        !header.checksumFlag || header.dictID != 0)
        return false;
    return ZSTD_findFrameCompressedSize(piece.frame, piece.frame_size) == piece.frame_size;
}

}  // namespace

bool decode_block(piece_context* context, const payload_piece& block, uint8_t* out, block_ready ready,
                  void* state) {
    if (!is_packers_frame(block)) return false;
    // Decoded straight into `out`, which is its own window: no copy.
    ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_stableOutBuffer, 1))) return false;
    ZSTD_outBuffer output = {out, block.decoded_size, 0};
    ZSTD_inBuffer input = {block.frame, 0, 0};
    for (;;) {
        if (input.pos == input.size) {
            if (input.size == block.frame_size) return false;  // the frame ended early
            input.size = block.frame_size - input.size < BLOCK_INPUT_STEP ? block.frame_size
                                                                           : input.size + BLOCK_INPUT_STEP;
        }
        size_t before = output.pos, taken = input.pos;
        size_t left = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(left)) return false;
        // A step that moves neither way would repeat for ever.
        if (left != 0 && output.pos == before && input.pos == taken) return false;
        if (output.pos > before && !ready(state, output.pos)) return false;
        if (left == 0) return output.pos == block.decoded_size && input.pos == block.frame_size;
    }
}

bool decode_piece(piece_context* context, const payload_piece& piece, uint8_t* out) {
    if (!is_packers_frame(piece)) return false;
    size_t decoded = ZSTD_decompressDCtx(context, out, piece.decoded_size, piece.frame, piece.frame_size);
    return !ZSTD_isError(decoded) && decoded == piece.decoded_size;
}
