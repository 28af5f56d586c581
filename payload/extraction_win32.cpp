// The extraction writer's Win32 edge: directory creation for the cache and the
// writing of one entry into its file. Win32 calls only, through `win32`.
#include "payload/extraction.h"

#include <cstring>

#include "diagnostics/failure.h"
#include "platform/path_template.h"
#include "platform/win32_api.h"

namespace {

// Below the run directory: its own access list, given explicitly because
// Wine 8 does not pass an inheritable access list on to what is made below.
SECURITY_ATTRIBUTES* extraction_security = nullptr;

uint32_t create_directory_system(const u16* path) {
    if (win32.CreateDirectoryW(path, extraction_security)) return 0;
    DWORD error = GetLastError();
    return error == 0 ? ERROR_GEN_FAILURE : error;
}

bool expand_home_system(u16* out, size_t capacity) {
    return expand_path_template(out, HOME_TEMPLATE, capacity);
}

[[noreturn]] void home_failed_system() { fail_expand_template(HOME_TEMPLATE); }

const directory_operations system_operations = {
    create_directory_system, expand_home_system, home_failed_system, nullptr};

}  // namespace

const directory_operations& system_directory_operations() { return system_operations; }

void set_extraction_security(void* attributes) {
    extraction_security = static_cast<SECURITY_ATTRIBUTES*>(attributes);
}

bool write_payload_entry(payload_archive& archive, uint64_t size, const u16* target_path,
                         directory_cache& cache, uint8_t* write_buffer,
                         extraction_progress* progress) {
    // A directory that could not be made shows up as the failure to create
    // the file just below.
    (void)ensure_parent_directories(cache, system_directory_operations(), target_path);

    // FILE_SHARE_WRITE alone: others may write while we do, but not read a
    // half-written file or delete it.
    HANDLE file = win32.CreateFileW(target_path, GENERIC_WRITE, FILE_SHARE_WRITE,
                                    extraction_security, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail_open_target(target_path);

    uint64_t remaining = size;
    while (remaining > 0) {
        DWORD chunk = remaining < WRITE_CHUNK_SIZE ? static_cast<DWORD>(remaining)
                                                   : static_cast<DWORD>(WRITE_CHUNK_SIZE);
        // read_entry_size has checked the size against the archive's end;
        // a caller that skipped it must not make us read past it.
        if (static_cast<size_t>(archive.end - archive.cursor) < chunk)
            fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
        std::memcpy(write_buffer, archive.cursor, chunk);
        archive.cursor += chunk;
        DWORD written = 0;
        if (!win32.WriteFile(file, write_buffer, chunk, &written, nullptr)) fail_unpack_write();
        remaining -= chunk;
        if (progress != nullptr) {
            progress->archive_bytes_done.store(static_cast<uint64_t>(archive.cursor - archive.base),
                                               std::memory_order_relaxed);
            if (progress->stop_requested.load(std::memory_order_relaxed)) break;
        }
    }
    (void)win32.CloseHandle(file);
    return remaining == 0;
}
