// Walks the payload archive in place, front to back. Every read is bounded by
// the archive's size and makes no alignment assumption. Platform-free.
#pragma once
#include <cstdint>

#include "format/archive_format.h"
#include "format/units.h"

struct payload_archive {
    const uint8_t* base;    // first byte of the archive
    const uint8_t* cursor;  // read position; only moves forward
    const uint8_t* end;     // one past the last byte
    bool compressed;        // the header was the compressed form's
    bool solid;             // the header was the solid form's (names and
                            // sizes only; the bytes in blocks after them)
    // Bytes of the current entry's data in the archive: its size when
    // stored, its pieces when compressed (set by read_entry_size).
    uint64_t entry_data_size;
};

enum class read_status {
    ok,           // a name (or size) was read
    end_marker,   // the empty name that ends the entry list
    truncated,    // the read would pass the end of the archive
    name_too_long // a name of 1024 units or more
};

payload_archive payload_archive_over(const uint8_t* bytes, size_t size);

// Reads the three header bytes and advances by three before comparing them.
// False for a short archive or any other bytes. Either form's header is
// accepted; `compressed` and `solid` tell which.
bool check_payload_header(payload_archive& archive);

// Copies the next name, terminator included, into `name` and leaves the
// cursor past its 0x0000 unit.
read_status read_entry_name(payload_archive& archive, u16 (&name)[ENTRY_NAME_CAPACITY]);

// Reads the eight-byte little-endian size (the decoded size, and the size of
// the pieces after it, in the compressed form). `truncated` also when the
// entry's data would pass the end of the archive. The solid form's records
// have no data: its bytes are in the blocks (solid_stream).
read_status read_entry_size(payload_archive& archive, uint64_t& size);

// Moves the cursor past the entry's data, read_entry_size having been read.
void skip_entry_data(payload_archive& archive);

// One compressed piece: its frame and the bytes it decodes to.
struct payload_piece {
    const uint8_t* frame;
    uint32_t frame_size;
    uint32_t decoded_size;
};

// In the compressed form, reads the next piece of an entry of which
// `decoded_left` bytes remain, within the entry's data (`data_left`, both
// counted down); `truncated` when its frame would pass the entry's end.
read_status read_entry_piece(payload_archive& archive, uint64_t& decoded_left, uint64_t& data_left,
                             payload_piece& piece);

// The solid form's blocks: where they are, how large each decodes, and the
// decoded bytes not yet read.
struct solid_stream {
    payload_archive blocks;  // its cursor at the next block
    uint32_t block_size;     // decoded bytes of each block but the last
    uint64_t total;          // the sum of the entries' sizes
    uint64_t decoded_left;   // of the total, in blocks not yet read
};

// From an archive of the solid form whose cursor is just past the header:
// walks the records to the end marker and reads the block size after it.
// False when a record runs past the end, a name is too long, the sizes add
// up past 2^64, or the block size is 0 or above MAX_SOLID_BLOCK_SIZE.
bool open_solid_stream(const payload_archive& archive, solid_stream& stream);

// The next block: its frame and the bytes it decodes to (the block size,
// the last one fewer). `truncated` when no bytes are left or its frame
// would pass the end of the archive.
read_status read_solid_block(solid_stream& stream, payload_piece& block);

// The bar's total: the archive's size when stored (the writer counts archive
// bytes), the sum of the entries' sizes when compressed or solid (it counts decoded
// bytes); the cursor just past the header. The walk stops at the end marker
// or wherever the archive is damaged, or once the total reaches `enough`:
// the walk touches every entry's header, and on a cold start each of them
// is a read from the disk.
uint64_t payload_progress_total(const payload_archive& archive, uint64_t enough = UINT64_MAX);
