// libFuzzer target: the compressed and solid forms walked and decoded as the
// parent's writer does it (header, then name, sizes and every piece per
// entry, up to the end marker; or the records, the block size and every
// block). Any bytes at all must end in a clean stop: no read outside the
// input, no write outside the piece or block buffer, and decoded bytes
// exactly as many as the size fields say.
#include <cstdlib>
#include <cstring>

#include <zstd.h>

#include "format/archive_reader.h"
#include "format/piece_decoding.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Each block into a buffer of exactly its decoded size, so ASan sees a
// write past it.
void walk_solid(const payload_archive& archive, const uint8_t* bytes, size_t size) {
    solid_stream stream;
    if (!open_solid_stream(archive, stream)) return;
    check(stream.block_size >= 1 && stream.block_size <= MAX_SOLID_BLOCK_SIZE);
    static piece_context* context = new_piece_context();
    uint64_t decoded = 0;
    payload_piece block;
    while (read_solid_block(stream, block) == read_status::ok) {
        check(block.frame >= bytes && block.frame + block.frame_size <= bytes + size);
        check(block.decoded_size >= 1 && block.decoded_size <= stream.block_size);
        uint8_t* buffer = static_cast<uint8_t*>(std::malloc(block.decoded_size));
        // Bytes said to be ready only grow, and stay within the block.
        size_t ready = 0;
        auto grows = [](void* state, size_t count) {
            size_t& so_far = *static_cast<size_t*>(state);
            check(count > so_far);
            so_far = count;
            return true;
        };
        bool whole = decode_block(context, block, buffer, grows, &ready);
        check(ready <= block.decoded_size && (!whole || ready == block.decoded_size));
        std::free(buffer);
        if (!whole) return;
        decoded += block.decoded_size;
    }
    check(decoded + stream.decoded_left == stream.total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static piece_context* context = new_piece_context();
    static uint8_t* buffer = static_cast<uint8_t*>(std::malloc(PIECE_SIZE));
    // A copy of exactly `size` bytes, so ASan sees any read past the end.
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(bytes, data, size);
    payload_archive archive = payload_archive_over(bytes, size);
    bool known = check_payload_header(archive);
    if (known && archive.solid) walk_solid(archive, bytes, size);
    if (known && archive.compressed) {
        static u16 name[ENTRY_NAME_CAPACITY];
        uint64_t entry_size = 0;
        while (read_entry_name(archive, name) == read_status::ok &&
               read_entry_size(archive, entry_size) == read_status::ok) {
            uint64_t decoded_left = entry_size, data_left = archive.entry_data_size;
            const uint8_t* data_end = archive.cursor + data_left;
            uint64_t decoded = 0;
            bool whole = true;
            while (whole && decoded_left > 0) {
                payload_piece piece;
                whole = read_entry_piece(archive, decoded_left, data_left, piece) == read_status::ok;
                if (!whole) break;
                check(piece.frame >= bytes && piece.frame + piece.frame_size <= data_end);
                check(piece.decoded_size >= 1 && piece.decoded_size <= PIECE_SIZE);
                whole = decode_piece(context, piece, buffer);
                if (whole) decoded += piece.decoded_size;
            }
            if (!whole || data_left != 0) break;
            check(decoded == entry_size && archive.cursor == data_end);
        }
    }
    check(archive.cursor >= archive.base && archive.cursor <= archive.end);
    std::free(bytes);
    return 0;
}
