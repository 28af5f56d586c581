// Entries below a held directory, judged without following a link. Win32
// and kernel calls through `win32` only.
#include "platform/file_probe.h"

#include "format/shared_names.h"
#include "platform/tree_deleter.h"
#include "platform/unix_route_win32.h"

namespace {

// Four UTF-8 bytes a unit at most, for a path of the run directory's length.
constexpr size_t HOST_PATH_CAPACITY = 4 * RUN_DIRECTORY_CAPACITY;

// struct open_how of openat2, and its flags on Linux x86-64.
struct linux_open_how {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};
constexpr uint64_t OPEN_PATH_ONLY = 010000000;     // O_PATH
constexpr uint64_t OPEN_NO_FOLLOW = 0400000;       // O_NOFOLLOW
constexpr uint64_t OPEN_CLOSE_ON_EXEC = 02000000;  // O_CLOEXEC
constexpr uint64_t RESOLVE_NO_LINKS = 0x04;        // RESOLVE_NO_SYMLINKS
constexpr uint64_t RESOLVE_INSIDE = 0x08;          // RESOLVE_BENEATH

enum class kernel_answer { plain, not_plain, no_host_name, no_openat2 };

kernel_answer plain_file_by_kernel(file_probe& probe, const u16* relative, uint64_t size) {
    static u16 slashed[RUN_DIRECTORY_CAPACITY];
    static char host[HOST_PATH_CAPACITY];
    size_t length = 0;
    for (; relative[length] != 0; ++length) {
        if (length + 1 >= RUN_DIRECTORY_CAPACITY) return kernel_answer::no_host_name;
        slashed[length] = relative[length] == U16('\\') ? U16('/') : relative[length];
    }
    slashed[length] = 0;
    if (!host_name(slashed, host, HOST_PATH_CAPACITY)) return kernel_answer::no_host_name;
    linux_open_how how = {OPEN_PATH_ONLY | OPEN_NO_FOLLOW | OPEN_CLOSE_ON_EXEC, 0,
                          RESOLVE_NO_LINKS | RESOLVE_INSIDE};
    long long opened = win32.linux_call(LINUX_OPENAT2, probe.descriptor, reinterpret_cast<long long>(host),
                                        reinterpret_cast<long long>(&how), sizeof how);
    if (opened == LINUX_NO_SYSTEM_CALL) return kernel_answer::no_openat2;
    if (opened < 0) return kernel_answer::not_plain;
    int descriptor = static_cast<int>(opened);
    linux_status status = {};
    bool plain = win32.linux_call(LINUX_FSTAT, descriptor, reinterpret_cast<long long>(&status), 0, 0) == 0 &&
                 (status.mode & TYPE_MASK) == TYPE_FILE && status.links == 1 &&
                 static_cast<uint64_t>(status.size) == size;
    close_descriptor(descriptor);
    return plain ? kernel_answer::plain : kernel_answer::not_plain;
}

}  // namespace

bool open_file_probe(HANDLE directory, file_probe& probe) {
    probe.directory = directory;
    probe.descriptor = unix_route() ? descriptor_of(directory) : NO_DESCRIPTOR;
    return folder_own_path(directory, probe.own_path, RUN_DIRECTORY_CAPACITY);
}

bool plain_file_below(file_probe& probe, const u16* relative, uint64_t size) {
    if (probe.descriptor >= 0) {
        switch (plain_file_by_kernel(probe, relative, size)) {
            case kernel_answer::plain: return true;
            case kernel_answer::not_plain: return false;
            // An older kernel: the handles' way from now on.
            case kernel_answer::no_openat2: close_descriptor(probe.descriptor); break;
            case kernel_answer::no_host_name: break;  // Wine's own name for it: the handles' way
        }
    }
    opened_entry entry = entry_open(probe.directory, probe.own_path, relative, 0, SHARE_ALL);
    if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
    return entry.kind == entry_kind::file && entry.links == 1 && static_cast<uint64_t>(entry.size) == size;
}

void close_file_probe(file_probe& probe) { close_descriptor(probe.descriptor); }
