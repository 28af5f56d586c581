// Walks the payload archive in place. Platform-free: the archive arrives as a
// byte range, and every read checks the range's end before it touches a byte.
#include "payload/archive_reader.h"

namespace {

size_t bytes_left(const payload_archive& archive) {
    return static_cast<size_t>(archive.end - archive.cursor);
}

// Records follow one another with no padding, so units and sizes are read
// byte by byte rather than through a possibly misaligned pointer.
uint16_t load_u16_le(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint64_t load_u64_le(const uint8_t* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

}  // namespace

payload_archive payload_archive_over(const uint8_t* bytes, size_t size) {
    return payload_archive{bytes, bytes, bytes + size};
}

bool check_payload_header(payload_archive& archive) {
    if (bytes_left(archive) < ARCHIVE_HEADER_SIZE) {
        archive.cursor = archive.end;
        return false;
    }
    const uint8_t* header = archive.cursor;
    archive.cursor += ARCHIVE_HEADER_SIZE;
    return header[0] == ARCHIVE_HEADER[0] && header[1] == ARCHIVE_HEADER[1] &&
           header[2] == ARCHIVE_HEADER[2];
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
        uint16_t unit = load_u16_le(at);
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
    if (bytes_left(archive) < ENTRY_SIZE_FIELD) return read_status::truncated;
    uint64_t value = load_u64_le(archive.cursor);
    if (value > bytes_left(archive) - ENTRY_SIZE_FIELD) return read_status::truncated;
    archive.cursor += ENTRY_SIZE_FIELD;
    size = value;
    return read_status::ok;
}
