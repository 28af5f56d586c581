// The run directory lock and the start-up sweep: every launcher holds its run
// directory open without delete sharing while anything may use it, and a
// parent deletes, on a thread of its own, the run directories whose owner is
// gone and that nobody holds. Win32 calls go through the `win32` table; the
// rules themselves are in leftover_rules.cpp. Silent: nothing is reported.
#include <atomic>

#include "launcher/launcher.h"
#include "launcher/leftover_rules.h"

namespace {

// Long paths: the sweep reaches every path extraction can write.
constexpr size_t SWEEP_PATH_CAPACITY = 32768;
// One scan, at most this many entries looked at and this many leftovers
// (directories whose owner is gone) deleted per start; after the child's end at most SWEEP_GRACE_MS more.
constexpr int SWEEP_SCAN_LIMIT = 1024;
constexpr int SWEEP_MAX_TREES = 64;
constexpr DWORD SWEEP_GRACE_MS = 2000;
constexpr DWORD SWEEP_STOP_MS = 5000;
constexpr size_t NAME_CAPACITY = MAX_PATH;
// Reading the data of the directory is what makes the lock count: a handle
// asking only for attributes takes part in no sharing check (Windows, and
// Wine 8 alike).
constexpr DWORD LOCK_ACCESS = FILE_LIST_DIRECTORY;
constexpr DWORD LOCK_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

struct candidate {
    u16 name[NAME_CAPACITY];
    DWORD attributes;
    run_directory_name parsed;
};

// One sweep per process, on one thread: static, not on its stack.
struct sweep_state {
    u16 base[SWEEP_PATH_CAPACITY];  // \\?\ form of the temporary folder
    u16 path[SWEEP_PATH_CAPACITY];
    u16 folder[RUN_DIRECTORY_CAPACITY];
    u16 full[SWEEP_PATH_CAPACITY];
    candidate candidates[SWEEP_MAX_TREES];
    int candidate_count;
    alignas(8) unsigned char rename[sizeof(FILE_RENAME_INFO) + SWEEP_PATH_CAPACITY * 2 + 16];
    WIN32_FIND_DATAW found;
};
sweep_state sweep;
std::atomic<bool> sweep_stop{false};
HANDLE sweep_thread = nullptr;

bool stopping() { return sweep_stop.load(); }

bool is_dot_name(const u16* name) {
    return name[0] == U16('.') && (name[1] == 0 || (name[1] == U16('.') && name[2] == 0));
}

owner_state owner_of(const run_directory_name& name) {
    owner_query query = {};
    HANDLE process = win32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, name.parent);
    if (process == nullptr) {
        query.open_error = GetLastError();
        return judge_owner(name, query);
    }
    query.opened = true;
    FILETIME created = {}, exited = {}, kernel, user;
    query.times_read = win32.GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
    query.created = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    query.exited = (static_cast<uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
    win32.CloseHandle(process);
    return judge_owner(name, query);
}

// Renames the held directory to its name with SWEEP_SUFFIX. Windows refuses
// to rename a directory while a file below it is open or mapped, so a tree
// an older launcher's child still runs from is left whole; Wine 8 renames
// it anyway (see docs/cleanup.md). The target is an NT path: Wine 8 takes a
// bare name relative to the current directory, not to the directory's own.
bool rename_held_directory(HANDLE directory, u16* path, size_t capacity) {
    size_t length = u16_length(path);
    size_t suffix_length = u16_length(SWEEP_SUFFIX);
    if (length + suffix_length + 1 > capacity) return false;
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(sweep.rename);
    *info = FILE_RENAME_INFO{};
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    // path starts with \\?\ (make_long_path); the NT form is \??\.
    u16* name = info->FileName;
    size_t units = 0;
    name[units++] = U16('\\');
    name[units++] = U16('?');
    name[units++] = U16('?');
    for (size_t index = 3; index < length; ++index) name[units++] = path[index];
    for (size_t index = 0; index < suffix_length; ++index) name[units++] = SWEEP_SUFFIX[index];
    name[units] = 0;
    info->FileNameLength = static_cast<DWORD>(units * sizeof(u16));
    DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + units * sizeof(u16));
    if (!win32.SetFileInformationByHandle(directory, FileRenameInfo, info, size)) return false;
    for (size_t index = 0; index <= suffix_length; ++index)
        path[length + index] = SWEEP_SUFFIX[index];
    return true;
}

// Deletes everything below `path` (the tree's root, root_length units),
// bottom-up, one directory level at a time, without recursion (a tree may be
// thousands of levels deep). A link is removed itself, never entered; a
// read-only file or directory is made writable first. Any failure, or the
// stop flag, ends the walk: the tree stays for a later start.
bool delete_below(u16* path, size_t capacity, size_t root_length) {
    WIN32_FIND_DATAW& found = sweep.found;
    for (;;) {
        if (stopping() || !append_component(path, capacity, U16("*"))) return false;
        HANDLE search = win32.FindFirstFileW(path, &found);
        remove_component(path, root_length);
        if (search == INVALID_HANDLE_VALUE) return false;
        bool descended = false, failed = false;
        do {
            if (is_dot_name(found.cFileName)) continue;
            if (stopping() || !append_component(path, capacity, found.cFileName)) {
                failed = true;
                break;
            }
            DWORD attributes = found.dwFileAttributes;
            bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // Attributes of a link would be set on its target: left alone.
            if (!link && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
                win32.SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            if (directory && !link) {
                descended = true;
                break;
            }
            bool removed = directory ? win32.RemoveDirectoryW(path) != FALSE
                                     : win32.DeleteFileW(path) != FALSE;
            remove_component(path, root_length);
            if (!removed) {
                failed = true;
                break;
            }
        } while (win32.FindNextFileW(search, &found));
        win32.FindClose(search);
        if (failed) return false;
        if (descended) continue;
        if (u16_length(path) <= root_length) return true;
        if (!win32.RemoveDirectoryW(path)) return false;
        remove_component(path, root_length);
    }
}

void sweep_candidate(const candidate& leftover) {
    if (owner_of(leftover.parsed) != owner_state::gone) return;
    u16* path = sweep.path;
    bounded_copy(path, sweep.base, SWEEP_PATH_CAPACITY);
    if (!append_component(path, SWEEP_PATH_CAPACITY, leftover.name)) return;
    // Delete access without delete sharing: refused while a launcher (or
    // anything it started with handle inheritance) holds the lock, or while
    // another sweep holds it; and it keeps both out until it is renamed.
    HANDLE directory = win32.CreateFileW(
        path, DELETE, LOCK_SHARING, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION information;
    bool plain_directory =
        win32.GetFileInformationByHandle(directory, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    bool ours = plain_directory && (leftover.parsed.swept ||
                                    rename_held_directory(directory, path, SWEEP_PATH_CAPACITY));
    // Closed before the walk: a handle with delete access makes listing the
    // directory fail with a sharing violation (Wine 8). Once renamed, the
    // tree has a name no launcher uses, so nothing starts holding it again.
    win32.CloseHandle(directory);
    if (!ours) return;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        win32.SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (delete_below(path, SWEEP_PATH_CAPACITY, u16_length(path))) win32.RemoveDirectoryW(path);
}

// The temporary folder is the run directory's own folder, so the sweep looks
// exactly where this launcher and its peers unpack.
bool find_candidates() {
    size_t folder_units = folder_length(launcher.run_directory);
    if (folder_units == 0) return false;
    bounded_copy(sweep.folder, launcher.run_directory, RUN_DIRECTORY_CAPACITY);
    sweep.folder[folder_units] = 0;
    const u16* own_name = launcher.run_directory + folder_units + 1;
    DWORD count = win32.GetFullPathNameW(sweep.folder, SWEEP_PATH_CAPACITY, sweep.full, nullptr);
    if (count == 0 || count >= SWEEP_PATH_CAPACITY) return false;
    if (!make_long_path(sweep.base, SWEEP_PATH_CAPACITY, sweep.full)) return false;

    u16* pattern = sweep.path;
    bounded_copy(pattern, sweep.base, SWEEP_PATH_CAPACITY);
    if (!append_component(pattern, SWEEP_PATH_CAPACITY, U16("onefile_*"))) return false;
    WIN32_FIND_DATAW& found = sweep.found;
    HANDLE search = win32.FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    int looked_at = 0;
    do {
        DWORD attributes = found.dwFileAttributes;
        candidate& next = sweep.candidates[sweep.candidate_count];
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            u16_equal(found.cFileName, own_name) ||
            !parse_run_directory_name(found.cFileName, next.parsed) ||
            // Judged now too, so live directories never take up the places
            // of leftovers; judged again right before the deletion.
            owner_of(next.parsed) != owner_state::gone)
            continue;
        bounded_copy(next.name, found.cFileName, NAME_CAPACITY);
        next.attributes = attributes;
        ++sweep.candidate_count;
    } while (++looked_at < SWEEP_SCAN_LIMIT && sweep.candidate_count < SWEEP_MAX_TREES &&
             win32.FindNextFileW(search, &found));
    win32.FindClose(search);
    return true;
}

DWORD WINAPI sweep_main(void*) {
    if (!find_candidates()) return 0;
    for (int index = 0; index < sweep.candidate_count && !stopping(); ++index)
        sweep_candidate(sweep.candidates[index]);
    return 0;
}

}  // namespace

void lock_run_directory() {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE lock = win32.CreateFileW(launcher.run_directory, LOCK_ACCESS, LOCK_SHARING,
                                    &inheritable, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
    // Without the lock this start is only as safe as an older launcher's.
    if (lock != INVALID_HANDLE_VALUE) launcher.run_directory_lock.store(lock);
}

void release_run_directory_lock() {
    HANDLE lock = launcher.run_directory_lock.exchange(nullptr);
    if (lock != nullptr) win32.CloseHandle(lock);
}

void start_sweep() {
    sweep_thread = win32.CreateThread(nullptr, 0, sweep_main, nullptr, 0, nullptr);
}

void finish_sweep() {
    if (sweep_thread == nullptr) return;
    if (win32.WaitForSingleObject(sweep_thread, SWEEP_GRACE_MS) != WAIT_OBJECT_0) {
        sweep_stop.store(true);
        win32.WaitForSingleObject(sweep_thread, SWEEP_STOP_MS);
    }
    win32.CloseHandle(sweep_thread);
    sweep_thread = nullptr;
}
