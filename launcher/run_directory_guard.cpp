// The run directory's making and the holds on it. The parent makes it new,
// for its user alone, before anything is written into it. Parent and child
// each hold it while they run: by a handle that refuses its deletion and
// renaming (every process of this system sees that), and by a byte-range
// lock on a file beside it (under Wine 8 a Unix lock, which processes of
// another Wine prefix see too). Neither hold is inherited: a helper the
// application leaves running does not keep the directory. Win32 calls go
// through `win32`.
#include "diagnostics/failure.h"
#include "format/shared_names.h"
#include "launcher/launcher.h"
#include "launcher/leftover_rules.h"
#include "launcher/ownership.h"
#include "platform/private_directory.h"
#include "platform/tree_deleter.h"

namespace {

// Reading the directory's data is what makes the hold count: a handle that
// asks only for attributes takes part in no sharing check (Windows, and
// Wine 8 alike). READ_CONTROL for the owner check.
constexpr DWORD HOLD_ACCESS = FILE_LIST_DIRECTORY | READ_CONTROL;
constexpr DWORD HOLD_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The rename's target: the folder's long path and a name.
constexpr size_t RENAME_CAPACITY = RUN_DIRECTORY_CAPACITY + 8 + COMPONENT_NAME_CAPACITY + 8;
constexpr int FILE_RENAME_INFORMATION_CLASS = 10;

// Makes the lock file beside `directory` new and takes a shared lock on it;
// the parent then writes its mark into it. False when it cannot be made.
bool make_lock_file(const u16* directory) {
    if (!lock_file_name(launcher.lock_file_path, LOCK_FILE_PATH_CAPACITY, directory, u16_length(directory)))
        return false;
    // Read access: a shared lock needs it (Wine 8 turns it into a Unix read
    // lock). Without delete sharing, as the directory's own hold. Made new:
    // CREATE_NEW follows no link (a dangling one makes it fail).
    HANDLE file = win32.CreateFileW(launcher.lock_file_path, GENERIC_READ | GENERIC_WRITE, HOLD_SHARING,
                                    own_user_only_security(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    keep_lock_file(file);
    return true;
}

// The directories this process made, each published whole once. A ring:
// a record is used again only after seven more makings, long after any
// thread that read it has finished (a start makes at most four: three
// staging directories and one under {TEMP}).
constexpr int MADE_RECORDS = 8;
made_directory made_records[MADE_RECORDS];
int next_made_record = 0;

// Records `directory`, just made and held (its number `index`), and the
// lock file beside it, and publishes the record. False when either cannot
// be judged again through the folder's handle.
bool publish_made_directory(const u16* directory, int64_t index) {
    made_directory& made = made_records[next_made_record];
    next_made_record = (next_made_record + 1) % MADE_RECORDS;
    published_made_directory.store(nullptr);
    const u16* name = nullptr;
    if (!split_directory_path(directory, made.folder_text, name) || u16_length(name) >= MADE_NAME_CAPACITY ||
        !lock_file_name(made.lock_name, MADE_NAME_CAPACITY + 8, name, u16_length(name)))
        return false;
    bounded_copy(made.name, name, MADE_NAME_CAPACITY);
    HANDLE folder = folder_open(made.folder_text);
    if (folder == INVALID_HANDLE_VALUE) return false;
    opened_entry lock = {INVALID_HANDLE_VALUE, entry_kind::failed, 0, 0, 0, 0};
    if (folder_own_path(folder, made.folder_path, RUN_DIRECTORY_CAPACITY))
        lock = entry_open(folder, made.folder_path, made.lock_name, 0, SHARE_ALL);
    bool plain = lock.kind == entry_kind::file;
    if (lock.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(lock.handle);
    win32.CloseHandle(folder);
    if (!plain) return false;
    made.lock_index = lock.index;
    made.directory_index = index;
    published_made_directory.store(&made);
    return true;
}

int64_t held_directory_index = 0;  // of the directory hold_run_directory holds

// Holds `directory` with `access` as hold_run_directory says.
bool hold_directory(const u16* directory, DWORD access) {
    u16 folder_path[RUN_DIRECTORY_CAPACITY];
    const u16* name = nullptr;
    if (!split_directory_path(directory, folder_path, name)) return false;
    HANDLE folder = folder_open(folder_path);
    if (folder == INVALID_HANDLE_VALUE) return false;
    u16 own_path[RUN_DIRECTORY_CAPACITY];
    opened_entry held = {INVALID_HANDLE_VALUE, entry_kind::failed, 0, 0, 0, 0};
    bool named = folder_own_path(folder, own_path, RUN_DIRECTORY_CAPACITY);
    if (named) held = entry_open(folder, own_path, name, access, HOLD_SHARING);
    // A plain directory of this user, reached by its own name: not a link
    // to somewhere else, not made in advance by someone else.
    if (held.kind != entry_kind::directory || !owned_by_current_user(held.handle)) {
        if (held.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(held.handle);
        win32.CloseHandle(folder);
        return false;
    }
    held_directory_index = held.index;
    HANDLE earlier = launcher.run_directory_lock.exchange(held.handle);
    if (earlier != nullptr) win32.CloseHandle(earlier);
    // The child holds the lock file its parent holds, opened as everything
    // else is, without following a link. A parent of an older launcher made
    // none; its child goes on.
    if (launcher.child_role) {
        u16 lock_name[MADE_NAME_CAPACITY + 8];
        if (lock_file_name(lock_name, MADE_NAME_CAPACITY + 8, name, u16_length(name)))
            (void)hold_existing_lock_file(folder, own_path, lock_name);
    }
    win32.CloseHandle(folder);
    return true;
}

}  // namespace

void keep_lock_file(HANDLE file) {
    // Refused only where the file system has no locks: the handle's own
    // sharing still holds.
    (void)lock_lock_file(file, false);
    HANDLE earlier = launcher.lock_file.exchange(file);
    if (earlier != nullptr) win32.CloseHandle(earlier);
}

bool hold_existing_lock_file(HANDLE folder, const u16* folder_path, const u16* lock_name) {
    opened_entry entry = entry_open(folder, folder_path, lock_name, READ_CONTROL, SHARE_ALL);
    HANDLE file = entry.kind == entry_kind::file && entry.links == 1 && owned_by_current_user(entry.handle)
                      ? entry_reopen(entry, folder_path, lock_name, GENERIC_READ, HOLD_SHARING)
                      : INVALID_HANDLE_VALUE;
    if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
    if (file == INVALID_HANDLE_VALUE) return false;
    keep_lock_file(file);
    return true;
}

bool lock_lock_file(HANDLE file, bool exclusive) {
    OVERLAPPED range = {};
    range.Offset = static_cast<DWORD>(LOCK_FILE_OFFSET);
    range.OffsetHigh = static_cast<DWORD>(LOCK_FILE_OFFSET >> 32);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return win32.LockFileEx(file, flags, 0, 1, 0, &range) != FALSE;
}

HANDLE claim_lock_file(HANDLE folder, const u16* folder_path, const u16* lock_name, bool& free,
                       int64_t& index) {
    opened_entry entry = entry_open(folder, folder_path, lock_name, READ_CONTROL, SHARE_ALL);
    free = entry.kind == entry_kind::gone;
    index = entry.index;
    if (entry.kind != entry_kind::file || entry.links != 1 || !owned_by_current_user(entry.handle)) {
        if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
        return INVALID_HANDLE_VALUE;
    }
    // Write access: an exclusive lock needs it (Wine 8 turns it into a Unix
    // write lock, which conflicts with another prefix's read lock). Delete
    // sharing: the claim is held while the file is deleted.
    HANDLE claim = entry_reopen(entry, folder_path, lock_name, GENERIC_READ | GENERIC_WRITE,
                                SHARE_ALL);
    win32.CloseHandle(entry.handle);
    if (claim == INVALID_HANDLE_VALUE) return claim;
    free = lock_lock_file(claim, true);
    if (!free) {
        win32.CloseHandle(claim);
        return INVALID_HANDLE_VALUE;
    }
    return claim;
}

bool split_directory_path(const u16* path, u16* folder, const u16*& name) {
    size_t folder_units = folder_length(path);
    if (folder_units == 0) return false;
    bounded_copy(folder, path, RUN_DIRECTORY_CAPACITY);
    folder[folder_units] = 0;
    name = path + folder_units;
    if (*name == U16('\\')) ++name;
    return *name != 0;
}

bool hold_run_directory(const u16* directory) { return hold_directory(directory, HOLD_ACCESS); }

// Windows refuses to rename a directory while a file below it is open or
// mapped; Wine 8 renames it anyway (see docs/cleanup.md). The target is a
// full NT path: Wine 8 refuses a name relative to a root directory handle
// (error 87), and takes a bare name relative to the current directory.
// The native call, with the buffer here: SetFileInformationByHandle copies
// the request into the process's heap first (Wine 8), and the sweep's
// thread renames and must never be inside a heap (sweep.cpp).
bool rename_held_directory(HANDLE directory, const u16* folder_path, const u16* new_name) {
    alignas(8) unsigned char buffer[sizeof(FILE_RENAME_INFO) + RENAME_CAPACITY * sizeof(u16)];
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    *info = FILE_RENAME_INFO{};
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    // \\?\ from make_long_path becomes \??\, the NT form.
    u16* target = info->FileName;
    if (!make_long_path(target, RENAME_CAPACITY, folder_path) ||
        !append_component(target, RENAME_CAPACITY, new_name))
        return false;
    target[1] = U16('?');
    size_t units = u16_length(target);
    info->FileNameLength = static_cast<DWORD>(units * sizeof(u16));
    // FILE_RENAME_INFO has the layout of the native FILE_RENAME_INFORMATION.
    ULONG size = static_cast<ULONG>(sizeof(FILE_RENAME_INFO) + units * sizeof(u16));
    IO_STATUS_BLOCK io = {};
    return win32.NtSetInformationFile(directory, &io, info, size,
                                      static_cast<FILE_INFORMATION_CLASS>(FILE_RENAME_INFORMATION_CLASS)) == 0;
}

void make_run_directory(const u16* directory) {
    if (!try_make_run_directory(directory))
        fail_open_target(launcher.lock_file_path[0] != 0 && launcher.lock_file.load() == nullptr
                             ? launcher.lock_file_path
                             : directory);
}

bool try_make_run_directory(const u16* directory, bool renamable) {
    SECURITY_ATTRIBUTES* security = own_user_only_security();
    // The lock file first, so the directory is never there unheld. Both are
    // made new: whatever stands there already was not made by this start,
    // and nothing in it is used or deleted.
    bool held = security != nullptr && make_lock_file(directory);
    if (!held && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // The folders above, as extraction always made them when missing.
        (void)ensure_parent_directories(launcher.cache, system_directory_operations(), directory);
        held = make_lock_file(directory);
    }
    if (!held) return false;
    if (!win32.CreateDirectoryW(directory, security)) return false;
    remember_directory(launcher.cache, system_directory_operations(), directory);
    set_extraction_security(security);
    // The mark names the directory by its number before anything goes into
    // it; then the directory is published to the clean-up as this start's.
    // A hold with delete access (nobody else's open shares it) renames the
    // directory itself, so it is never unheld before its rename.
    return hold_directory(directory, renamable ? HOLD_ACCESS | DELETE : HOLD_ACCESS) &&
           write_lock_mark(launcher.lock_file.load(), held_directory_index) &&
           publish_made_directory(directory, held_directory_index);
}

void unpublish_made_directory() { published_made_directory.store(nullptr); }

int64_t held_run_directory_index() { return held_directory_index; }

void release_run_directory_lock() {
    HANDLE lock = launcher.run_directory_lock.exchange(nullptr);
    if (lock != nullptr) win32.CloseHandle(lock);
}

void release_lock_file() {
    HANDLE file = launcher.lock_file.exchange(nullptr);
    if (file != nullptr) win32.CloseHandle(file);
}
