// Walks the payload archive in place. Platform-free: the archive arrives as a
// byte range, and every read checks the range's end before it touches a byte.
#include "format/archive_reader.h"

#include "format/little_endian.h"

namespace {

size_t bytes_left(const payload_archive& archive) {
    return static_cast<size_t>(archive.end - archive.cursor);
}

}  // namespace

payload_archive payload_archive_over(const uint8_t* bytes, size_t size) {
    return payload_archive{bytes, bytes, bytes + size, false, false, 0};
}

bool check_payload_header(payload_archive& archive) {
    if (bytes_left(archive) < ARCHIVE_HEADER_SIZE) {
        archive.cursor = archive.end;
        return false;
    }
    const uint8_t* header = archive.cursor;
    archive.cursor += ARCHIVE_HEADER_SIZE;
    if (header[0] != ARCHIVE_HEADER[0] || header[1] != ARCHIVE_HEADER[1]) return false;
    archive.compressed = header[2] == COMPRESSED_ARCHIVE_HEADER[2];
    archive.solid = header[2] == SOLID_ARCHIVE_HEADER[2];
    return archive.compressed || archive.solid || header[2] == ARCHIVE_HEADER[2];
}

read_status read_entry_name(payload_archive& archive, u16 (&name)[ENTRY_NAME_CAPACITY]) {
    // The cursor moves only once the whole name, terminator included, has
    // been found inside the archive; the buffer is terminated in every case.
    const uint8_t* at = archive.cursor;
    for (size_t count = 0;; ++count) {
        if (static_cast<size_t>(archive.end - at) < 2) {
            name[count] = 0;  // count <= MAX_ENTRY_NAME_UNITS here
            return read_status::truncated;
        }
        uint16_t unit = load_le16(at);
        at += 2;
        if (count == MAX_ENTRY_NAME_UNITS && unit != 0) {
            name[MAX_ENTRY_NAME_UNITS] = 0;
            return read_status::name_too_long;
        }
        name[count] = static_cast<u16>(unit);
        if (unit == 0) {
            archive.cursor = at;
            return count == 0 ? read_status::end_marker : read_status::ok;
        }
    }
}

read_status read_entry_size(payload_archive& archive, uint64_t& size) {
    size_t fields = archive.compressed ? 2 * ENTRY_SIZE_FIELD : ENTRY_SIZE_FIELD;
    if (bytes_left(archive) < fields) return read_status::truncated;
    uint64_t value = load_le64(archive.cursor);
    uint64_t data = archive.compressed ? load_le64(archive.cursor + ENTRY_SIZE_FIELD) : archive.solid ? 0 : value;
    if (data > bytes_left(archive) - fields) return read_status::truncated;
    // A piece of at most PIECE_SIZE decoded bytes needs at least its length
    // field, so the count of pieces is bounded by the data before any is
    // read; an empty file has none.
    if (archive.compressed && value / PIECE_SIZE + (value % PIECE_SIZE != 0) > data / PIECE_LENGTH_FIELD)
        return read_status::truncated;
    archive.cursor += fields;
    size = value;
    archive.entry_data_size = data;
    return read_status::ok;
}

void skip_entry_data(payload_archive& archive) {
    archive.cursor += archive.entry_data_size;
    archive.entry_data_size = 0;
}

namespace {

// A length field and the frame after it, within `data_left` bytes, decoding
// to `unit` bytes or the `decoded_left` that remain.
read_status read_frame(payload_archive& archive, uint64_t unit, uint64_t& decoded_left, uint64_t& data_left,
                       payload_piece& piece) {
    if (decoded_left == 0 || data_left < PIECE_LENGTH_FIELD || bytes_left(archive) < data_left)
        return read_status::truncated;
    static_assert(PIECE_LENGTH_FIELD == 4, "a 32-bit field");
    uint32_t frame_size = load_le32(archive.cursor);
    if (frame_size > data_left - PIECE_LENGTH_FIELD) return read_status::truncated;
    piece.frame = archive.cursor + PIECE_LENGTH_FIELD;
    piece.frame_size = frame_size;
    piece.decoded_size = static_cast<uint32_t>(decoded_left < unit ? decoded_left : unit);
    archive.cursor += PIECE_LENGTH_FIELD + frame_size;
    data_left -= PIECE_LENGTH_FIELD + frame_size;
    decoded_left -= piece.decoded_size;
    return read_status::ok;
}

}  // namespace

read_status read_entry_piece(payload_archive& archive, uint64_t& decoded_left, uint64_t& data_left,
                             payload_piece& piece) {
    return read_frame(archive, PIECE_SIZE, decoded_left, data_left, piece);
}

bool open_solid_stream(const payload_archive& archive, solid_stream& stream) {
    payload_archive walk = archive;
    u16 name[ENTRY_NAME_CAPACITY];
    uint64_t total = 0, size = 0;
    for (;;) {
        read_status status = read_entry_name(walk, name);
        if (status == read_status::end_marker) break;
        if (status != read_status::ok || read_entry_size(walk, size) != read_status::ok) return false;
        if (size > UINT64_MAX - total) return false;
        total += size;
    }
    if (bytes_left(walk) < BLOCK_SIZE_FIELD) return false;
    static_assert(BLOCK_SIZE_FIELD == 4, "a 32-bit field");
    uint32_t block_size = load_le32(walk.cursor);
    if (block_size == 0 || block_size > MAX_SOLID_BLOCK_SIZE) return false;
    walk.cursor += BLOCK_SIZE_FIELD;
    stream = {walk, block_size, total, total};
    return true;
}

read_status read_solid_block(solid_stream& stream, payload_piece& block) {
    uint64_t data_left = bytes_left(stream.blocks);
    return read_frame(stream.blocks, stream.block_size, stream.decoded_left, data_left, block);
}

uint64_t payload_progress_total(const payload_archive& archive, uint64_t enough) {
    if (!archive.compressed && !archive.solid) return static_cast<uint64_t>(archive.end - archive.base);
    payload_archive walk = archive;
    u16 name[ENTRY_NAME_CAPACITY];
    uint64_t total = 0, size = 0;
    while (total < enough && read_entry_name(walk, name) == read_status::ok &&
           read_entry_size(walk, size) == read_status::ok) {
        total += size;
        skip_entry_data(walk);
    }
    return total;
}
