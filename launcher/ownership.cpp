// The rule of what is ours, and the marks it reads. Allocates nothing: the
// sweep's thread asks it, and may be ended at any moment by the process's
// exit (see docs/cleanup.md). Win32 calls go through `win32`.
#include "launcher/ownership.h"

#include <cstring>

#include "format/shared_names.h"
#include "launcher/leftover_rules.h"
#include "platform/private_directory.h"
#include "platform/win32_api.h"

std::atomic<const made_directory*> published_made_directory{nullptr};

namespace {

constexpr DWORD MARK_READ_ACCESS = FILE_READ_DATA | READ_CONTROL;
constexpr size_t LOCK_NAME_CAPACITY = COMPONENT_NAME_CAPACITY + 16;  // the name and ".lock"
constexpr int VERSION_PARTS = 4;

void close_valid(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) win32.CloseHandle(handle);
}

// Reads `size` bytes from the start of `file`, exactly; one byte more must
// not be there.
bool read_exactly(HANDLE file, void* into, DWORD size) {
    alignas(8) unsigned char buffer[sizeof(cache_mark) + 1];
    if (size + 1 > sizeof buffer) return false;
    OVERLAPPED at = {};
    DWORD read = 0;
    if (!win32.ReadFile(file, buffer, size + 1, &read, &at) || read != size) return false;
    std::memcpy(into, buffer, size);
    return true;
}

// The plain file `name` of `folder`, one name only, this user's: opened
// for reading its mark. INVALID_HANDLE_VALUE otherwise.
HANDLE open_mark_file(HANDLE folder, const u16* folder_path, const u16* name) {
    opened_entry entry = entry_open(folder, folder_path, name, MARK_READ_ACCESS, SHARE_ALL);
    if (entry.kind == entry_kind::file && entry.links == 1 && owned_by_current_user(entry.handle))
        return entry.handle;
    close_valid(entry.handle);
    return INVALID_HANDLE_VALUE;
}

bool lock_mark_names(HANDLE folder, const u16* folder_path, const u16* name, size_t base_length,
                     int64_t directory_index) {
    u16 lock_name[LOCK_NAME_CAPACITY];
    if (!lock_file_name(lock_name, LOCK_NAME_CAPACITY, name, base_length)) return false;
    HANDLE file = open_mark_file(folder, folder_path, lock_name);
    if (file == INVALID_HANDLE_VALUE) return false;
    lock_mark mark;
    bool marked = read_exactly(file, &mark, sizeof mark) &&
                  std::memcmp(mark.magic, LOCK_MARK_MAGIC, sizeof mark.magic) == 0 &&
                  mark.directory_index == directory_index;
    win32.CloseHandle(file);
    return marked;
}

bool read_cache_mark(const opened_entry& directory, const u16* folder_path, const u16* name,
                     cache_mark& mark) {
    u16 directory_path[RUN_DIRECTORY_CAPACITY];
    if (u16_length(folder_path) >= RUN_DIRECTORY_CAPACITY) return false;
    bounded_copy(directory_path, folder_path, RUN_DIRECTORY_CAPACITY);
    if (!append_component(directory_path, RUN_DIRECTORY_CAPACITY, name)) return false;
    HANDLE file = open_mark_file(directory.handle, directory_path, CACHE_RECORD_NAME);
    if (file == INVALID_HANDLE_VALUE) return false;
    // A copy of the folder carries the mark too, naming the folder it was
    // copied from.
    bool marked = read_exactly(file, &mark, sizeof mark) &&
                  std::memcmp(mark.magic, CACHE_MARK_MAGIC, sizeof mark.magic) == 0 &&
                  mark.directory_index == directory.index;
    win32.CloseHandle(file);
    return marked;
}

bool same_text(const u16* a, const u16* b, size_t capacity) {
    for (size_t index = 0; index < capacity; ++index) {
        if (a[index] != b[index]) return false;
        if (a[index] == 0) return true;
    }
    return true;
}

// "1.2.3" as numbers; what is not a number counts as 0.
void version_parts(const u16* text, size_t capacity, uint32_t parts[VERSION_PARTS]) {
    int part = 0;
    for (int index = 0; index < VERSION_PARTS; ++index) parts[index] = 0;
    for (size_t index = 0; index < capacity && text[index] != 0 && part < VERSION_PARTS; ++index) {
        u16 unit = text[index];
        if (unit == U16('.')) {
            ++part;
        } else if (unit >= U16('0') && unit <= U16('9') && parts[part] < 100000000) {
            parts[part] = parts[part] * 10 + static_cast<uint32_t>(unit - U16('0'));
        }
    }
}

}  // namespace

HANDLE open_made_folder(const made_directory& made) {
    HANDLE folder = folder_open(made.folder_text);
    if (folder == INVALID_HANDLE_VALUE) return folder;
    u16 own_path[RUN_DIRECTORY_CAPACITY];
    if (folder_own_path(folder, own_path, RUN_DIRECTORY_CAPACITY) && u16_equal(own_path, made.folder_path))
        return folder;
    win32.CloseHandle(folder);
    return INVALID_HANDLE_VALUE;
}

ownership_verdict judge_ownership(HANDLE folder, const u16* folder_path, const u16* name,
                                  size_t base_length, const opened_entry& directory) {
    ownership_verdict verdict;
    verdict.how = ownership::none;
    if (directory.kind != entry_kind::directory || !owned_by_current_user(directory.handle))
        return verdict;
    const made_directory* made = published_made_directory.load();
    if (made != nullptr && made->directory_index == directory.index &&
        u16_equal(made->folder_path, folder_path) && u16_equal(made->name, name)) {
        verdict.how = ownership::made_here;
    } else if (lock_mark_names(folder, folder_path, name, base_length, directory.index)) {
        verdict.how = ownership::run_directory;
    } else if (read_cache_mark(directory, folder_path, name, verdict.mark)) {
        verdict.how = ownership::cache;
    }
    return verdict;
}

ownership_verdict judge_ownership_at(const u16* path, HANDLE& folder, opened_entry& directory) {
    ownership_verdict verdict;
    verdict.how = ownership::none;
    directory = {INVALID_HANDLE_VALUE, entry_kind::failed, 0, 0, 0, 0};
    size_t folder_units = folder_length(path);
    u16 folder_text[RUN_DIRECTORY_CAPACITY];
    u16 folder_path[RUN_DIRECTORY_CAPACITY];
    if (folder_units == 0 || u16_length(path) >= RUN_DIRECTORY_CAPACITY) {
        folder = INVALID_HANDLE_VALUE;
        return verdict;
    }
    bounded_copy(folder_text, path, RUN_DIRECTORY_CAPACITY);
    folder_text[folder_units] = 0;
    const u16* name = path + folder_units;
    if (*name == U16('\\')) ++name;
    folder = folder_open(folder_text);
    if (folder == INVALID_HANDLE_VALUE) return verdict;
    if (folder_own_path(folder, folder_path, RUN_DIRECTORY_CAPACITY)) {
        directory = entry_open(folder, folder_path, name, OWNERSHIP_ACCESS, SHARE_ALL);
        verdict = judge_ownership(folder, folder_path, name, u16_length(name), directory);
    }
    if (verdict.how == ownership::none) {
        close_valid(directory.handle);
        directory.handle = INVALID_HANDLE_VALUE;
        win32.CloseHandle(folder);
        folder = INVALID_HANDLE_VALUE;
    }
    return verdict;
}

bool same_application(const cache_mark& mark) {
    return same_text(mark.company, launcher_branding.company, BRANDING_TEXT_CAPACITY) &&
           same_text(mark.product, launcher_branding.product, BRANDING_TEXT_CAPACITY);
}

bool newer_build(const cache_mark& mark) {
    uint32_t theirs[VERSION_PARTS], ours[VERSION_PARTS];
    version_parts(mark.version, BRANDING_VERSION_CAPACITY, theirs);
    version_parts(launcher_branding.version, BRANDING_VERSION_CAPACITY, ours);
    for (int index = 0; index < VERSION_PARTS; ++index)
        if (theirs[index] != ours[index]) return theirs[index] > ours[index];
    return mark.build_stamp > launcher_branding.build_stamp;
}

void this_build_mark(cache_mark& mark, int64_t directory_index) {
    std::memset(&mark, 0, sizeof mark);
    std::memcpy(mark.magic, CACHE_MARK_MAGIC, sizeof mark.magic);
    std::memcpy(mark.company, launcher_branding.company, sizeof mark.company);
    std::memcpy(mark.product, launcher_branding.product, sizeof mark.product);
    std::memcpy(mark.version, launcher_branding.version, sizeof mark.version);
    mark.build_stamp = launcher_branding.build_stamp;
    mark.directory_index = directory_index;
}

bool write_lock_mark(HANDLE file, int64_t directory_index) {
    lock_mark mark;
    std::memcpy(mark.magic, LOCK_MARK_MAGIC, sizeof mark.magic);
    mark.directory_index = directory_index;
    OVERLAPPED at = {};
    DWORD written = 0;
    return win32.WriteFile(file, &mark, sizeof mark, &written, &at) && written == sizeof mark;
}

bool lock_file_marked(HANDLE file) {
    lock_mark mark;
    return read_exactly(file, &mark, sizeof mark) &&
           std::memcmp(mark.magic, LOCK_MARK_MAGIC, sizeof mark.magic) == 0;
}
