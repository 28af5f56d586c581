// A cache made by this start is recorded after the child has started:
// every file is put on the disk (under Wine on Linux while the application
// runs; elsewhere once it has ended), then the payload's digest goes into
// the mark and the mark to the disk. Until then the mark's digest is zero
// and the starts that run from the cache hold its record event (named after
// the directory's identity and the build): other starts of this build trust
// the cache only while that event exists, and each of its holders tries the
// record at its end, so the last one out records it even where a loaded
// library kept the others from flushing it (Windows). A power loss or every
// holder ended before the record leaves a cache the next start replaces.
// Win32 and kernel calls through `win32` only.
#include <cstdio>
#include <cstring>

#include "format/branding_record.h"
#include "launcher/launcher.h"
#include "format/shared_names.h"
#include "launcher/ownership.h"
#include "platform/private_directory.h"
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
// The cache's record event while this start holds it.
HANDLE record_event = nullptr;

constexpr size_t EVENT_NAME_CAPACITY = 160;

// The record event's name for the cache held by `directory` (its number
// `index`) and this build. Its volume's serial comes from the handle: two
// volumes may number two folders alike.
bool record_event_name(HANDLE directory, int64_t index, u16 (&name)[EVENT_NAME_CAPACITY]) {
    FILE_ID_INFO identity = {};
    if (!win32.GetFileInformationByHandleEx(directory, FileIdInfo, &identity, sizeof identity)) return false;
    char text[EVENT_NAME_CAPACITY];
    int length = snprintf(text, sizeof text, "%s%016llx_%016llx_", CACHE_RECORD_EVENT_PREFIX,
                          static_cast<unsigned long long>(identity.VolumeSerialNumber),
                          static_cast<unsigned long long>(index));
    if (length < 0 || static_cast<size_t>(length) + 2 * PAYLOAD_DIGEST_SIZE >= sizeof text) return false;
    for (size_t at = 0; at < PAYLOAD_DIGEST_SIZE; ++at)
        snprintf(text + length + 2 * at, 3, "%02x", launcher_branding.payload_digest[at]);
    for (size_t at = 0; at < sizeof text; ++at) {
        name[at] = static_cast<u16>(static_cast<unsigned char>(text[at]));
        if (text[at] == 0) break;
    }
    return true;
}

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

bool claim_cache_record(HANDLE directory, int64_t index) {
    drop_cache_record();
    u16 name[EVENT_NAME_CAPACITY];
    if (!record_event_name(directory, index, name)) return false;
    SetLastError(ERROR_SUCCESS);
    HANDLE event = win32.CreateEventW(own_user_only_security(), TRUE, FALSE, name);
    // One there already was not made for this new directory: nobody's word
    // that this start lives, so not taken.
    if (event != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        win32.CloseHandle(event);
        event = nullptr;
    }
    record_event = event;
    return event != nullptr;
}

bool share_cache_record(HANDLE directory, int64_t index) {
    drop_cache_record();
    u16 name[EVENT_NAME_CAPACITY];
    if (!record_event_name(directory, index, name)) return false;
    record_event = win32.OpenEventW(SYNCHRONIZE, FALSE, name);
    return record_event != nullptr;
}

void drop_cache_record() {
    if (record_event == nullptr) return;
    win32.CloseHandle(record_event);
    record_event = nullptr;
}

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
    if (record.directory == nullptr) {
        drop_cache_record();
        return false;
    }
    bool flushed = false;
    if (record.thread != nullptr) {
        win32.WaitForSingleObject(record.thread, INFINITE);
        win32.CloseHandle(record.thread);
        record.thread = nullptr;
        flushed = record.flushed;
    }
    if (!flushed) flushed = flush_each_file();
    bool recorded = flushed && write_digest();
    // After the digest: a start that finds the event gone reads the mark
    // again and sees it.
    drop_cache_record();
    win32.CloseHandle(record.directory);
    record.directory = nullptr;
    return recorded;
}
