// The payload archive's byte layout, shared by the launcher's reader and the
// packer. Platform-free; no I/O here.
//
//   "KAX"                         three header bytes
//   { name UTF-16LE, 0x0000;      one record per file, no alignment
//     size u64 LE; data }
//   0x0000                        end marker (an empty name)
//   zero fill to a multiple of 8, then u64 LE trailer = its own offset
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t ARCHIVE_HEADER[3] = {0x4B, 0x41, 0x58};
constexpr size_t ARCHIVE_HEADER_SIZE = 3;
constexpr size_t ENTRY_SIZE_FIELD = 8;
constexpr size_t TRAILER_SIZE = 8;
constexpr size_t TRAILER_ALIGNMENT = 8;
// The entry-name buffer: 1023 units and the terminator.
constexpr size_t ENTRY_NAME_CAPACITY = 1024;
constexpr size_t MAX_ENTRY_NAME_UNITS = ENTRY_NAME_CAPACITY - 1;
// Resource that carries the archive: RT_RCDATA, id 27.
constexpr uint16_t PAYLOAD_RESOURCE_TYPE = 10;
constexpr uint16_t PAYLOAD_RESOURCE_ID = 27;
