// The strict decoding of one piece. Platform-free: zstd's own decoder on
// bytes in memory.
#include "format/piece_decoding.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

piece_context* new_piece_context() { return ZSTD_createDCtx(); }

void free_piece_context(piece_context* context) { ZSTD_freeDCtx(context); }

namespace {

// zstd checks a checksum only when the frame says it has one, and takes the
// frame's word for its size: both are checked here against what the packer
// always writes, so a damaged flag cannot switch a check off.
bool frame_as_packed(const payload_piece& piece) {
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, piece.frame, piece.frame_size) != 0) return false;
    if (header.frameType != ZSTD_frame || header.frameContentSize != piece.decoded_size ||
        !header.checksumFlag || header.dictID != 0)
        return false;
    return ZSTD_findFrameCompressedSize(piece.frame, piece.frame_size) == piece.frame_size;
}

// Compressed bytes given to the decoder at a time: at level 3 on PE files
// they decode to 100 to 200 KiB, which stay in a core's cache until written.
constexpr size_t STREAM_INPUT_STEP = 32 * 1024;

}  // namespace

bool decode_piece(piece_context* context, const payload_piece& piece, uint8_t* out) {
    if (!frame_as_packed(piece)) return false;
    size_t decoded = ZSTD_decompressDCtx(context, out, piece.decoded_size, piece.frame, piece.frame_size);
    return !ZSTD_isError(decoded) && decoded == piece.decoded_size;
}

streamed_piece decode_piece_streamed(piece_context* context, const payload_piece& piece, uint8_t* out,
                                     size_t stretch, piece_sink sink, const void* state) {
    if (!frame_as_packed(piece)) return streamed_piece::damaged;
    // Straight into `out`, which holds the whole piece: no window of the
    // decoder's own, no copy out of it.
    if (ZSTD_isError(ZSTD_DCtx_reset(context, ZSTD_reset_session_only)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_stableOutBuffer, 1)))
        return streamed_piece::damaged;
    ZSTD_outBuffer output = {out, piece.decoded_size, 0};
    ZSTD_inBuffer input = {piece.frame, 0, 0};
    size_t handed = 0, left = 1;
    while (left != 0) {
        if (input.size == piece.frame_size && input.pos == input.size) return streamed_piece::damaged;
        input.size = piece.frame_size - input.size < STREAM_INPUT_STEP ? piece.frame_size
                                                                       : input.size + STREAM_INPUT_STEP;
        size_t input_before = input.pos, output_before = output.pos;
        left = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(left)) return streamed_piece::damaged;
        // A frame that goes on once the piece is full never ends.
        if (left != 0 && input.pos == input_before && output.pos == output_before && input.size == piece.frame_size)
            return streamed_piece::damaged;
        if (output.pos - handed >= stretch || (left == 0 && output.pos > handed)) {
            if (!sink(state, out + handed, output.pos - handed, handed)) return streamed_piece::sink_failed;
            handed = output.pos;
        }
    }
    if (output.pos != piece.decoded_size || input.pos != piece.frame_size) return streamed_piece::damaged;
    return streamed_piece::decoded;
}

namespace {

struct block_relay {
    block_ready ready;
    void* state;
};

bool relay_block(const void* relay, const uint8_t*, size_t count, size_t offset) {
    const block_relay& to = *static_cast<const block_relay*>(relay);
    return to.ready(to.state, offset + count);
}

}  // namespace

bool decode_block(piece_context* context, const payload_piece& block, uint8_t* out, block_ready ready,
                  void* state) {
    block_relay relay = {ready, state};
    return decode_piece_streamed(context, block, out, 1, relay_block, &relay) == streamed_piece::decoded;
}
