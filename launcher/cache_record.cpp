// A cache made by this start is recorded after the child has started:
// every file is put on the disk (under Wine on Linux while the application
// runs; elsewhere once it has ended), then the payload's digest goes into
// the mark and the mark to the disk. Until then the mark's digest is zero and no start
// trusts the cache (run_directory_cache.cpp), so a power loss or a parent
// ended before the record leaves a cache the next start replaces. Win32 and
// kernel calls through `win32` only.
#include <cstring>

#include "format/branding_record.h"
#include "launcher/launcher.h"
#include "launcher/ownership.h"
#include "platform/tree_deleter.h"
#include "platform/unix_route_win32.h"

namespace {

constexpr long long LINUX_SYNCFS = 306;
constexpr SIZE_T RECORD_THREAD_STACK = 64 * 1024;

struct cache_record {
    HANDLE directory = nullptr;  // this process's own duplicate of the cache's hold
    u16 own_path[RUN_DIRECTORY_CAPACITY];
    int64_t index = 0;
    HANDLE thread = nullptr;
    bool flushed = false;  // the flushing thread's result, read after it ended
    u16 entry_name[ENTRY_NAME_CAPACITY];
};
cache_record record;

// Every entry of the payload put on the disk through a handle of its own,
// reached below the held cache without following a link. Only once the
// application has ended: a handle open for writing would make its loading
// of a library there fail for sharing, and a library it has loaded cannot
// be opened for writing (Windows).
bool flush_each_file() {
    payload_archive walk = launcher.payload;
    for (;;) {
        read_status status = read_entry_name(walk, record.entry_name);
        if (status == read_status::end_marker) return true;
        uint64_t size = 0;
        if (status != read_status::ok || read_entry_size(walk, size) != read_status::ok) return false;
        skip_entry_data(walk);
        opened_entry entry =
            entry_open(record.directory, record.own_path, record.entry_name, GENERIC_WRITE, SHARE_ALL);
        bool flushed = entry.kind == entry_kind::file && entry.links == 1 && win32.FlushFileBuffers(entry.handle);
        if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
        if (!flushed) return false;
    }
}

// Under Wine on Linux every file was written straight into the host's page
// cache by this process: one syncfs puts them all on the disk at once, where
// a flush a file cost a journal commit each, and opens no file the
// application may be loading.
bool sync_file_system() {
    int descriptor = descriptor_of(record.directory);
    if (descriptor == NO_DESCRIPTOR) return false;
    long long result = win32.linux_call(LINUX_SYNCFS, descriptor, 0, 0, 0);
    close_descriptor(descriptor);
    return result == 0;
}

DWORD WINAPI record_thread(void*) {
    record.flushed = sync_file_system();
    return 0;
}

// The digest into the cache's own mark, judged on its handle (a plain file
// of one name, holding this build's mark for this directory, digest still
// zero), then the mark to the disk. A digest that may not have reached the
// disk is taken back out.
bool write_digest() {
    opened_entry entry = entry_open(record.directory, record.own_path, CACHE_RECORD_NAME,
                                    GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    cache_mark found = {}, expected = {};
    this_build_mark(expected, record.index);
    DWORD count = 0;
    bool ours = entry.kind == entry_kind::file && entry.links == 1 &&
                win32.ReadFile(entry.handle, &found, sizeof found, &count, nullptr) && count == sizeof found &&
                std::memcmp(&found, &expected, sizeof found) == 0;
    bool recorded = false;
    if (ours) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(CACHE_MARK_DIGEST_OFFSET);
        recorded = win32.WriteFile(entry.handle, launcher_branding.payload_digest, PAYLOAD_DIGEST_SIZE, &count,
                                   &at) &&
                   count == PAYLOAD_DIGEST_SIZE && win32.FlushFileBuffers(entry.handle);
        if (!recorded) {
            OVERLAPPED again = at;
            (void)win32.WriteFile(entry.handle, expected.digest, PAYLOAD_DIGEST_SIZE, &count, &again);
        }
    }
    if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
    return recorded;
}

}  // namespace

void start_cache_record() {
    HANDLE held = launcher.run_directory_lock.load();
    HANDLE self = win32.GetCurrentProcess();
    if (held == nullptr ||
        !win32.DuplicateHandle(self, held, self, &record.directory, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    record.index = held_run_directory_index();
    if (!folder_own_path(record.directory, record.own_path, RUN_DIRECTORY_CAPACITY)) {
        win32.CloseHandle(record.directory);
        record.directory = nullptr;
        return;
    }
    if (unix_route())
        record.thread = win32.CreateThread(nullptr, RECORD_THREAD_STACK, record_thread, nullptr,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

bool finish_cache_record() {
    if (record.directory == nullptr) return false;
    bool flushed = false;
    if (record.thread != nullptr) {
        win32.WaitForSingleObject(record.thread, INFINITE);
        win32.CloseHandle(record.thread);
        record.thread = nullptr;
        flushed = record.flushed;
    }
    if (!flushed) flushed = flush_each_file();
    bool recorded = flushed && write_digest();
    win32.CloseHandle(record.directory);
    record.directory = nullptr;
    return recorded;
}
