// The payload archive's byte layout, shared by the launcher's reader and the
// packer. Platform-free; no I/O here.
//
//   "KAX"                         three header bytes
//   { name UTF-16LE, 0x0000;      one record per file, no alignment
//     size u64 LE; data }
//   0x0000                        end marker (an empty name)
//   zero fill to a multiple of 8, then u64 LE trailer = its own offset
//
// The compressed form (docs/compression.md) differs only in its header and
// in what follows each name:
//
//   "KAZ"
//   { name UTF-16LE, 0x0000;
//     size u64 LE                 the file's bytes once decoded
//     packed u64 LE               bytes of the pieces that follow
//     { frame length u32 LE;      one piece per PIECE_SIZE bytes of the file,
//       zstd frame } }            the last one shorter; none for an empty file
//   0x0000, zero fill, trailer    as above
//
// Every frame states its decoded size, which must be the piece's, and
// carries a content checksum.
//
// The solid form (--compress=max) keeps the names and sizes together in
// front and the files' bytes, one after the other, in blocks that span
// files, so a block's window finds what the files share:
//
//   "KAS"
//   { name UTF-16LE, 0x0000;      one record per file, no data here
//     size u64 LE }
//   0x0000                        end marker
//   block size u32 LE             decoded bytes of every block but the last
//   { frame length u32 LE;        the files' bytes in archive order, cut
//     zstd frame }                every block size bytes; none for no bytes
//   zero fill, trailer            as above
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t ARCHIVE_HEADER[3] = {0x4B, 0x41, 0x58};
constexpr uint8_t COMPRESSED_ARCHIVE_HEADER[3] = {0x4B, 0x41, 0x5A};
constexpr uint8_t SOLID_ARCHIVE_HEADER[3] = {0x4B, 0x41, 0x53};
constexpr size_t ARCHIVE_HEADER_SIZE = 3;
// The solid form's blocks: 32 MiB at zstd 19 come within 10 to 15 % of
// xz -6's size on real PE files, where pieces of 1 MiB at 19 give twice it.
// A window of 16 MiB rather than the whole block: the same size within
// 0.1 %, and half the decoding time (matches from further back miss the
// processor's caches). A reader holds one decoded block per decoding
// thread, so it refuses blocks above MAX_SOLID_BLOCK_SIZE.
constexpr size_t SOLID_BLOCK_SIZE = 32 << 20;
constexpr int SOLID_WINDOW_LOG = 24;
constexpr int SOLID_LEVEL = 19;
constexpr size_t MAX_SOLID_BLOCK_SIZE = 64 << 20;
constexpr size_t BLOCK_SIZE_FIELD = 4;
// Small enough that a few decoded pieces in flight stay far below the
// memory bound; large enough that compression loses under 1 % against
// pieces of 4 MiB on real PE files (0.293 against 0.290 at level 3).
constexpr size_t PIECE_SIZE = 1 << 20;
constexpr size_t PIECE_LENGTH_FIELD = 4;
constexpr size_t ENTRY_SIZE_FIELD = 8;
constexpr size_t TRAILER_SIZE = 8;
constexpr size_t TRAILER_ALIGNMENT = 8;
// The entry-name buffer: 1023 units and the terminator.
constexpr size_t ENTRY_NAME_CAPACITY = 1024;
constexpr size_t MAX_ENTRY_NAME_UNITS = ENTRY_NAME_CAPACITY - 1;
// Resource that carries the archive: RT_RCDATA, id 27.
constexpr uint16_t PAYLOAD_RESOURCE_TYPE = 10;
constexpr uint16_t PAYLOAD_RESOURCE_ID = 27;
