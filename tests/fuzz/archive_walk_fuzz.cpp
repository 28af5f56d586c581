// libFuzzer target: the payload archive walked as the parent walks it
// (header, then name, target path, size and data per entry, up to the end
// marker), with the directory cache over a fake file system. Any bytes at
// all must end in a clean stop: no read outside the input, a terminated name
// within its buffer, a cursor that only moves forward.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "format/archive_reader.h"
#include "payload/extraction.h"
#include "platform/bounded_buffer.h"

namespace {

// A run directory of a typical length, so target paths stay in bounds for
// every name the reader accepts (1023 units at most).
const u16 RUN_DIRECTORY[] = u"C:\\Users\\someone\\AppData\\Local\\Temp\\onefile_1234_133600000000000000";

std::set<std::u16string>* made_directories;

uint32_t fake_create_directory(const u16* path) {
    std::u16string text(path);
    if (text.empty()) return 3;  // ERROR_PATH_NOT_FOUND
    return made_directories->insert(text).second ? 0 : ERROR_CODE_ALREADY_EXISTS;
}
bool fake_expand_home(u16* out, size_t capacity) {
    bounded_copy(out, u"C:\\Users\\someone", capacity);
    return true;
}
[[noreturn]] void fake_home_failed() { std::abort(); }

const directory_operations fake_operations = {fake_create_directory, fake_expand_home,
                                              fake_home_failed, nullptr};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so ASan sees any read past the end.
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(bytes, data, size);
    std::set<std::u16string> directories;
    made_directories = &directories;
    directory_cache cache = {};

    payload_archive archive = payload_archive_over(bytes, size);
    if (check_payload_header(archive)) {
        static u16 name[ENTRY_NAME_CAPACITY];
        static u16 target_path[TARGET_PATH_CAPACITY];
        u16 first_entry_path[FIRST_ENTRY_PATH_CAPACITY] = {};
        for (;;) {
            const uint8_t* before = archive.cursor;
            read_status status = read_entry_name(archive, name);
            check(u16_length(name) < ENTRY_NAME_CAPACITY);
            if (status != read_status::ok) {
                check(status == read_status::end_marker || archive.cursor == before);
                break;
            }
            check(name[0] != 0 && archive.cursor > before && archive.cursor <= archive.end);
            make_target_path(target_path, RUN_DIRECTORY, name, first_entry_path);
            check(first_entry_path[0] != 0);
            (void)ensure_parent_directories(cache, fake_operations, target_path);
            uint64_t entry_size = 0;
            if (read_entry_size(archive, entry_size) != read_status::ok) break;
            // The writer consumes exactly the entry's bytes (its pieces, in
            // the compressed form; none in the solid form, whose bytes are in
            // the blocks after the end marker); the reader has promised they
            // are inside the archive.
            uint64_t data_size = archive.entry_data_size;
            check(archive.solid ? data_size == 0 : archive.compressed || data_size == entry_size);
            check(data_size <= static_cast<uint64_t>(archive.end - archive.cursor));
            volatile uint8_t sink = 0;
            for (uint64_t i = 0; i < data_size; i += WRITE_CHUNK_SIZE / 4) sink ^= archive.cursor[i];
            const uint8_t* data_end = archive.cursor + data_size;
            skip_entry_data(archive);
            check(archive.cursor == data_end);
        }
    }
    check(archive.cursor >= archive.base && archive.cursor <= archive.end);
    for (int32_t i = 0; i < cache.count; ++i) std::free(cache.paths[i]);
    std::free(bytes);
    return 0;
}
