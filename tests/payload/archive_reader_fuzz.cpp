// libFuzzer target: the reader walks any bytes as the parent would, never
// reading past them (AddressSanitizer watches), and every walk ends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "payload/archive_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so a read one byte past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    payload_archive archive = payload_archive_over(bytes.data(), bytes.size());
    if (!check_payload_header(archive)) return 0;
    u16 name[ENTRY_NAME_CAPACITY];
    for (;;) {
        const uint8_t* before = archive.cursor;
        if (read_entry_name(archive, name) != read_status::ok) break;
        uint64_t entry_size = 0;
        if (read_entry_size(archive, entry_size) != read_status::ok) break;
        archive.cursor += entry_size;  // the writer's consumption
        if (archive.cursor > archive.end || archive.cursor <= before) __builtin_trap();
    }
    return 0;
}
