// libFuzzer target: the compressed form walked and decoded as the parent's
// writer does it (header, then name, sizes and every piece per entry, up to
// the end marker). Any bytes at all must end in a clean stop: no read
// outside the input, no write outside the piece buffer, and a decoded entry
// exactly as long as its size field says.
#include <cstdlib>
#include <cstring>

#include <zstd.h>

#include "format/archive_reader.h"
#include "format/piece_decoding.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static piece_context* context = new_piece_context();
    static uint8_t* buffer = static_cast<uint8_t*>(std::malloc(PIECE_SIZE));
    // A copy of exactly `size` bytes, so ASan sees any read past the end.
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(bytes, data, size);
    payload_archive archive = payload_archive_over(bytes, size);
    if (check_payload_header(archive) && archive.compressed) {
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
