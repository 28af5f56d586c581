// The cache: a run directory unpacked once and reused by later starts while
// the payload is the same. Made through a staging directory beside it and
// renamed into place with its digest recorded last, so no start ever runs
// from a half-written tree; verified at each start by the recorded digest
// and every entry's size (names and sizes only, no content read); replaced
// only when nobody holds it. Win32 calls go through `win32`. Silent: a cache
// that cannot be used sends the start to a directory of its own under {TEMP}.
#include <cstdio>
#include <initializer_list>

#include "diagnostics/failure.h"
#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "launcher/leftover_rules.h"
#include "platform/environment.h"
#include "platform/path_template.h"
#include "platform/private_directory.h"
#include "platform/tree_deleter.h"
#include "resources/branding_record.h"

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Without delete sharing: refused while any launcher holds the cache, and
// keeps new holds out while it is open.
constexpr DWORD CLAIM_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A start that finds the cache stale builds it once and looks again; one
// more round covers a rival that renamed its own into place meanwhile.
constexpr int CACHE_ROUNDS = 3;
constexpr size_t NAME_CAPACITY = 256;
constexpr size_t NUMBER_TEXT_SIZE = 24;

enum class cache_state { missing, unusable, stale, verified };

// The cache's own path; launcher.run_directory names the staging directory
// while it is filled.
u16 cache_path[RUN_DIRECTORY_CAPACITY];

struct cache_folder {
    u16 path[RUN_DIRECTORY_CAPACITY];
    u16 own_path[RUN_DIRECTORY_CAPACITY];
    const u16* name;  // the cache's name within it
    HANDLE handle;
};

bool open_cache_folder(cache_folder& folder) {
    if (!split_run_directory(folder.path, folder.name)) return false;
    folder.handle = folder_open(folder.path);
    if (folder.handle == INVALID_HANDLE_VALUE) return false;
    if (folder_own_path(folder.handle, folder.own_path, RUN_DIRECTORY_CAPACITY)) return true;
    win32.CloseHandle(folder.handle);
    return false;
}

void close_valid(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) win32.CloseHandle(handle);
}

// `base` followed by `suffix` into `out` (capacity units); false when too long.
bool join(u16* out, size_t capacity, const u16* base, const u16* suffix) {
    size_t length = 0;
    for (const u16* part : {base, suffix})
        for (; *part != 0; ++part) {
            if (length + 1 >= capacity) return false;
            out[length++] = *part;
        }
    out[length] = 0;
    return true;
}

}  // namespace

// A name the sweep beside a cache reclaims once this process is gone.
bool cache_staging_name(u16* out, size_t capacity, const u16* cache, uint64_t serial) {
    FILETIME now;
    win32.GetSystemTimeAsFileTime(&now);
    uint64_t count = ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) + serial;
    char digits[2 * NUMBER_TEXT_SIZE];
    snprintf(digits, sizeof digits, "%lu_%llu", static_cast<unsigned long>(win32.GetCurrentProcessId()),
             static_cast<unsigned long long>(count));
    u16 wide[2 * NUMBER_TEXT_SIZE];
    size_t index = 0;
    for (; digits[index] != 0; ++index) wide[index] = static_cast<u16>(digits[index]);
    wide[index] = 0;
    u16 with_infix[RUN_DIRECTORY_CAPACITY];
    return join(with_infix, RUN_DIRECTORY_CAPACITY, cache, CACHE_STAGING_INFIX) &&
           join(out, capacity, with_infix, wide);
}

namespace {

// The digest the cache records, compared with the record's: exactly
// PAYLOAD_DIGEST_SIZE bytes.
bool digest_matches() {
    u16 path[RUN_DIRECTORY_CAPACITY + 32];
    if (!join(path, RUN_DIRECTORY_CAPACITY + 32, launcher.run_directory, U16("\\")) ||
        !join(path, RUN_DIRECTORY_CAPACITY + 32, path, CACHE_RECORD_NAME))
        return false;
    HANDLE file = win32.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    uint8_t recorded[PAYLOAD_DIGEST_SIZE + 1];
    DWORD read = 0;
    bool whole = win32.ReadFile(file, recorded, sizeof recorded, &read, nullptr) && read == PAYLOAD_DIGEST_SIZE;
    win32.CloseHandle(file);
    for (size_t index = 0; whole && index < PAYLOAD_DIGEST_SIZE; ++index)
        if (recorded[index] != launcher_branding.payload_digest[index]) return false;
    return whole;
}

// Every entry of the payload there as a plain file of its size: one walk
// over the archive's names and sizes, one attribute query per entry.
bool entries_match() {
    payload_archive walk = launcher.payload;
    u16 unused_first[FIRST_ENTRY_PATH_CAPACITY] = {U16('-'), 0};
    for (;;) {
        read_status status = read_entry_name(walk, launcher.entry_name);
        if (status == read_status::end_marker) return true;
        uint64_t size = 0;
        if (status != read_status::ok || read_entry_size(walk, size) != read_status::ok) return false;
        skip_entry_data(walk);
        make_target_path(launcher.target_path, launcher.run_directory, launcher.entry_name, unused_first);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!win32.GetFileAttributesExW(launcher.target_path, GetFileExInfoStandard, &data)) return false;
        uint64_t found = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            found != size)
            return false;
    }
}

// Looks at the cache and, when it is a plain directory of this user, holds
// it (directory handle and lock file) and verifies it. The holds stay only
// when it is verified.
cache_state open_cache() {
    cache_folder folder;
    if (!open_cache_folder(folder)) return cache_state::unusable;
    opened_entry entry = entry_open(folder.handle, folder.own_path, folder.name, READ_CONTROL, SHARE_ALL);
    win32.CloseHandle(folder.handle);
    bool plain = entry.kind == entry_kind::directory && owned_by_current_user(entry.handle);
    close_valid(entry.handle);
    if (entry.kind == entry_kind::gone) return cache_state::missing;
    if (!plain || !hold_run_directory() || !hold_cache_lock_file()) {
        release_run_directory_lock();
        release_lock_file();
        return cache_state::unusable;
    }
    if (digest_matches() && entries_match()) return cache_state::verified;
    release_run_directory_lock();
    release_lock_file();
    return cache_state::stale;
}

// A stale cache that nobody holds, renamed out of the way under this
// start's claim and deleted. False while any launcher holds it.
bool retire_cache() {
    cache_folder folder;
    if (!open_cache_folder(folder)) return false;
    bool retired = false;
    // Claimed through its judged handle, never by a path that may be a link
    // by now; under Wine 8 the lock is what a launcher of another prefix holds.
    u16 lock_name[NAME_CAPACITY + 16];
    bool lock_free = false;
    HANDLE lock = join(lock_name, NAME_CAPACITY + 16, folder.name, LOCK_FILE_SUFFIX)
                      ? claim_lock_file(folder.handle, folder.own_path, lock_name, lock_free)
                      : INVALID_HANDLE_VALUE;
    opened_entry entry = entry_open(folder.handle, folder.own_path, folder.name, READ_CONTROL, SHARE_ALL);
    HANDLE claim = lock_free && entry.kind == entry_kind::directory && owned_by_current_user(entry.handle)
                       ? entry_reopen(entry, folder.own_path, folder.name, DELETE, CLAIM_SHARING)
                       : INVALID_HANDLE_VALUE;
    close_valid(entry.handle);
    u16 retired_name[NAME_CAPACITY + 64];
    if (claim != INVALID_HANDLE_VALUE && cache_staging_name(retired_name, NAME_CAPACITY + 32, folder.name, 1) &&
        join(retired_name, NAME_CAPACITY + 64, retired_name, SWEEP_SUFFIX))
        retired = rename_held_directory(claim, folder.path, retired_name);
    close_valid(claim);
    close_valid(lock);
    // What cannot be deleted now keeps its swept name for a later start.
    if (retired) delete_tree(folder.handle, retired_name, nullptr);
    win32.CloseHandle(folder.handle);
    return retired;
}

// The record of the digest, written last into the filled staging directory.
bool record_digest() {
    u16 path[RUN_DIRECTORY_CAPACITY + 32];
    if (!join(path, RUN_DIRECTORY_CAPACITY + 32, launcher.run_directory, U16("\\")) ||
        !join(path, RUN_DIRECTORY_CAPACITY + 32, path, CACHE_RECORD_NAME))
        return false;
    HANDLE file = win32.CreateFileW(path, GENERIC_WRITE, 0, own_user_only_security(), CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool whole = win32.WriteFile(file, launcher_branding.payload_digest, PAYLOAD_DIGEST_SIZE, &written,
                                 nullptr) &&
                 written == PAYLOAD_DIGEST_SIZE;
    return win32.CloseHandle(file) && whole;
}

// Unpacks into a staging directory beside the cache, records the digest and
// renames it into place. A rival that renamed its own first wins; this
// start's staging directory is then deleted. False when nothing could be
// made; true otherwise (the caller looks at the cache again).
bool build_cache() {
    u16 staging[RUN_DIRECTORY_CAPACITY];
    // Room for ".lock" after it, as for any run directory.
    if (!cache_staging_name(staging, RUN_DIRECTORY_CAPACITY - 8, cache_path, 0))
        return false;
    payload_archive start = launcher.payload;
    bounded_copy(launcher.run_directory, staging, RUN_DIRECTORY_CAPACITY);
    bool made = try_make_run_directory();
    if (made) unpack_payload(true);
    // A Cancel of the progress window stops unpacking: such a tree is never
    // recorded as whole.
    bool complete = made && !unpack_progress.stop_requested.load() && record_digest();
    // The staging lock file is deleted below only when this start made it.
    bool lock_made = launcher.lock_file.load() != nullptr;
    release_run_directory_lock();
    release_lock_file();
    bool renamed = complete && win32.MoveFileExW(staging, cache_path, 0) != FALSE;
    cache_folder folder;
    if (open_cache_folder(folder)) {
        if (made && !renamed) delete_tree(folder.handle, folder.name, nullptr);
        u16 lock_name[NAME_CAPACITY + 16];
        if (lock_made && join(lock_name, NAME_CAPACITY + 16, folder.name, LOCK_FILE_SUFFIX))
            delete_file_entry(folder.handle, lock_name);
        win32.CloseHandle(folder.handle);
    }
    bounded_copy(launcher.run_directory, cache_path, RUN_DIRECTORY_CAPACITY);
    launcher.payload = start;
    return made;
}

// This start runs from a directory of its own: the default template under
// {TEMP}, whose {TIME} sets the start variable that tells the child so.
void fall_back_to_temp() {
    launcher.keep_run_directory.store(false);
    launcher.run_directory_template = DEFAULT_RUN_DIRECTORY_TEMPLATE;
    if (!expand_path_template(launcher.run_directory, DEFAULT_RUN_DIRECTORY_TEMPLATE, RUN_DIRECTORY_CAPACITY))
        fail_expand_template(DEFAULT_RUN_DIRECTORY_TEMPLATE);
}

}  // namespace

bool use_run_directory_cache() {
    if (!launcher.cache_template) return false;
    bounded_copy(cache_path, launcher.run_directory, RUN_DIRECTORY_CAPACITY);
    (void)ensure_parent_directories(launcher.cache, system_directory_operations(), launcher.run_directory);
    for (int round = 0; round < CACHE_ROUNDS; ++round) {
        cache_state state = open_cache();
        if (state == cache_state::verified) {
            launcher.running_from_cache = true;
            return true;
        }
        if (state == cache_state::unusable) break;
        // In use by a start of another build: this one runs from {TEMP}.
        if (state == cache_state::stale && !retire_cache()) break;
        if (!build_cache()) break;
    }
    fall_back_to_temp();
    return false;
}
