// The tree deleter's steps on one entry: judged on its own handle, removed
// through a second handle reopened from the first (under Wine on Linux,
// through the Unix descriptor of the directory it proved), never by a path.
// Win32, native and, under Wine on Linux, kernel calls only, through
// `win32`; the walk is in tree_deleter_win32.cpp.
#include "platform/tree_removal_win32.h"

#include <atomic>
#include <cstdint>

#include "platform/tree_paths.h"

namespace {

constexpr ULONG RELATIVE_OPEN_OPTIONS =
    FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr DWORD REOPEN_FLAGS = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD DELETE_ACCESS = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

constexpr NTSTATUS STATUS_OK = 0;
constexpr NTSTATUS STATUS_NO_SUCH_ENTRY = static_cast<NTSTATUS>(0xC000000F);  // NO_SUCH_FILE
constexpr NTSTATUS STATUS_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_PATH_NOT_FOUND = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS STATUS_PENDING_DELETE = static_cast<NTSTATUS>(0xC0000056);  // DELETE_PENDING
constexpr int OBJECT_NAME_INFORMATION_CLASS = 1;
constexpr int FILE_INTERNAL_INFORMATION_CLASS = 6;

struct FILE_INTERNAL_INFORMATION {
    LARGE_INTEGER IndexNumber;
};

// FILE_DISPOSITION_INFO_EX flags (Windows 10 1809 and later).
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;
constexpr int FILE_DISPOSITION_INFO_EX_CLASS = 21;

// Set once the system refuses FILE_DISPOSITION_INFO_EX (before Windows 10
// 1809, and Wine 8), so each later deletion makes one call, not two.
std::atomic<bool> disposition_ex_refused{false};

NTSTATUS open_relative(HANDLE folder, const u16* name, DWORD access, DWORD share,
                       HANDLE& handle) {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name);
    text.Length = static_cast<USHORT>(u16_length(name) * sizeof(u16));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io = {};
    handle = INVALID_HANDLE_VALUE;
    HANDLE opened = nullptr;
    NTSTATUS status = win32.NtOpenFile(&opened, access | SYNCHRONIZE, &attributes, &io, share,
                                       RELATIVE_OPEN_OPTIONS);
    if (status == STATUS_OK) handle = opened;
    return status;
}

bool is_gone(NTSTATUS status) {
    return status == STATUS_NAME_NOT_FOUND || status == STATUS_PATH_NOT_FOUND ||
           status == STATUS_NO_SUCH_ENTRY || status == STATUS_PENDING_DELETE;
}

// Clears the read-only bit through `writable` (open with attribute writing),
// keeping the other attributes; times of 0 leave the times as they are.
bool clear_read_only(HANDLE writable, DWORD attributes) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return win32.SetFileInformationByHandle(writable, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// What the handle is open on: its attributes, its number of names and its
// number on the volume. Three queries the system answers from the open
// object (under Wine 8 from the Unix file's status, without the server);
// GetFileInformationByHandle would also compute the volume's serial, which
// costs Wine a server call that grows with the path's depth.
bool read_identity(HANDLE handle, opened_entry& entry) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    FILE_INTERNAL_INFORMATION internal = {};
    IO_STATUS_BLOCK io = {};
    if (!win32.GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !win32.GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        win32.NtQueryInformationFile(handle, &io, &internal, sizeof internal,
                                     static_cast<FILE_INFORMATION_CLASS>(FILE_INTERNAL_INFORMATION_CLASS)) != STATUS_OK)
        return false;
    entry.attributes = tag.FileAttributes;
    entry.links = standard.NumberOfLinks;
    entry.index = internal.IndexNumber.QuadPart;
    entry.size = standard.EndOfFile.QuadPart;
    return true;
}

// A directory made read-only would refuse (under Wine 8) the deletion of
// what is in it; cleared through a second handle on the judged one.
void make_directory_writable(const opened_entry& directory, const u16* expected, u16* probe) {
    DWORD attributes = directory.attributes;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
    HANDLE handle = reopen_same(directory, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, expected,
                                probe);
    if (handle == INVALID_HANDLE_VALUE) return;
    clear_read_only(handle, attributes);
    win32.CloseHandle(handle);
}

// Under Wine on a Linux host ------------------------------------------------
// Wine 8 deletes a file at the last close of a handle with a delete
// disposition by the Unix path text it recorded when the file was opened: a
// folder on that path swapped for a link since (a process of the same user,
// renameat2 with RENAME_EXCHANGE) makes it unlink a name outside. There the
// deleter removes a name with unlinkat on the Unix descriptor of the
// directory it proved, which is that directory whatever its path has become,
// and never sets a disposition. A directory is proved by its descriptor:
// the name in its proved parent, not followed, is a directory with the same
// device and number.

// The descriptor of the judged directory `directory`, proved to be the entry
// `name` of the proved `parent` (not a link followed at open), and writable
// by its owner (a read-only directory refuses the removal of its entries).
// NO_DESCRIPTOR otherwise.
int proved_directory(int parent, const char* name, HANDLE directory) {
    int descriptor = descriptor_of(directory);
    linux_status named = {}, opened = {};
    if (descriptor < 0 || status_of_name(parent, name, named) != 0 ||
        win32.linux_call(LINUX_FSTAT, descriptor, reinterpret_cast<long long>(&opened), 0, 0) != 0 ||
        (named.mode & TYPE_MASK) != TYPE_DIRECTORY || named.device != opened.device ||
        named.inode != opened.inode) {
        close_descriptor(descriptor);
        return NO_DESCRIPTOR;
    }
    if ((opened.mode & OWNER_WRITE) == 0)
        win32.linux_call(LINUX_FCHMOD, descriptor, (opened.mode & 07777) | OWNER_WRITE, 0, 0);
    return descriptor;
}

}  // namespace

bool folder_own_path(HANDLE handle, u16* out, size_t capacity) {
    // OBJECT_NAME_INFORMATION: a UNICODE_STRING, then the units. One call,
    // and exact: it names the volume's device, not a drive letter that may
    // reach the same place twice.
    alignas(8) unsigned char buffer[sizeof(UNICODE_STRING) + OWN_PATH_CAPACITY * sizeof(u16)];
    ULONG returned = 0;
    if (win32.NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(OBJECT_NAME_INFORMATION_CLASS),
                            buffer, sizeof buffer, &returned) != STATUS_OK)
        return false;
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
    size_t units = text->Length / sizeof(u16);
    if (units == 0 || units + 1 > capacity) return false;
    for (size_t index = 0; index < units; ++index) out[index] = text->Buffer[index];
    out[units] = 0;
    return true;
}

// Windows reopens the object itself; Wine 8 opens the name again, which by
// now may be a link swapped in: the new handle must be the same object (its
// number, and its own path, which names the volume), and, but for a
// directory (whose count follows its subdirectories), with as many names as
// when it was judged: a name added outside since would share the attributes
// the judgement allowed to change.
HANDLE reopen_same(const opened_entry& judged, DWORD access, const u16* expected, u16* probe,
                   DWORD share) {
    HANDLE handle = win32.ReOpenFile(judged.handle, access, share, REOPEN_FLAGS);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    opened_entry again = {handle, entry_kind::failed, 0, 0, 0, 0};
    if (!read_identity(handle, again) || again.index != judged.index ||
        (judged.kind != entry_kind::directory && again.links != judged.links) ||
        !folder_own_path(handle, probe, OWN_PATH_CAPACITY) || !u16_equal(expected, probe)) {
        win32.CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

void close_entry(opened_entry& entry) {
    if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
    entry.handle = INVALID_HANDLE_VALUE;
}

opened_entry open_and_judge(HANDLE folder, const u16* name, DWORD access, DWORD share,
                            const u16* expected, u16* probe) {
    opened_entry entry = {INVALID_HANDLE_VALUE, entry_kind::failed, 0, 0, 0, 0};
    HANDLE handle;
    NTSTATUS status = open_relative(folder, name, access | FILE_READ_ATTRIBUTES, share, handle);
    if (status != STATUS_OK) {
        if (is_gone(status)) entry.kind = entry_kind::gone;
        return entry;
    }
    entry.handle = handle;
    // Under Wine 8 a Unix symbolic link to a file shows no reparse point and
    // is opened as its target: only the handle's own path tells.
    if (!read_identity(handle, entry) ||
        !folder_own_path(handle, probe, OWN_PATH_CAPACITY)) {
        close_entry(entry);
        return entry;
    }
    if (!u16_equal(expected, probe)) {
        entry.kind = entry_kind::foreign;
        close_entry(entry);
    } else if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        entry.kind = entry_kind::link;
    } else if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        entry.kind = entry_kind::directory;
    } else {
        entry.kind = entry_kind::file;
    }
    return entry;
}

// Through handles -------------------------------------------------------------

bool remove_by_handle(const opened_entry& judged, const u16* expected, u16* probe, bool& refused) {
    HANDLE handle = reopen_same(judged, DELETE_ACCESS, expected, probe);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD attributes = judged.attributes;
    bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    bool deleted = false;
    if (!disposition_ex_refused.load()) {
        FILE_DISPOSITION_INFO_EX request = {DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                                            DISPOSITION_IGNORE_READONLY};
        deleted = win32.SetFileInformationByHandle(
                      handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(FILE_DISPOSITION_INFO_EX_CLASS),
                      &request, sizeof request) != FALSE;
        if (!deleted) {
            DWORD error = GetLastError();
            if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                error == ERROR_INVALID_FUNCTION) {
                disposition_ex_refused.store(true);
            } else {
                win32.CloseHandle(handle);  // refused for another reason: in use, not empty
                return false;
            }
        }
    }
    if (!deleted) {
        bool shared = judged.kind == entry_kind::file && judged.links != 1;
        if (read_only && shared) refused = true;
        bool writable = !read_only || (!shared && clear_read_only(handle, attributes));
        FILE_DISPOSITION_INFO request = {TRUE};
        deleted = writable && win32.SetFileInformationByHandle(handle, FileDispositionInfo, &request,
                                                               sizeof request) != FALSE;
    }
    win32.CloseHandle(handle);
    return deleted;
}

bool handle_removal::enter(size_t, const opened_entry& directory, const u16*) {
    make_directory_writable(directory, paths_.own_path, paths_.probe);
    return true;
}

// Through descriptors, under Wine on a Linux host ---------------------------

bool remove_by_descriptor(const opened_entry& judged, const u16* expected, u16* probe, int parent,
                          const char* name) {
    HANDLE asked = reopen_same(judged, DELETE | FILE_READ_ATTRIBUTES, expected, probe);
    if (asked == INVALID_HANDLE_VALUE) return false;
    bool directory = judged.kind == entry_kind::directory;
    linux_status named = {};
    bool deleted = status_of_name(parent, name, named) == 0 &&
                   named.inode == static_cast<uint64_t>(judged.index) &&
                   (named.mode & TYPE_MASK) == (directory ? TYPE_DIRECTORY : TYPE_FILE) &&
                   win32.linux_call(LINUX_UNLINKAT, parent, reinterpret_cast<long long>(name),
                                    directory ? AT_DIRECTORY : 0, 0) == 0;
    win32.CloseHandle(asked);
    return deleted;
}

descriptor_removal::descriptor_removal(path_workspace& paths, descriptor_levels& levels)
    : paths_(paths), levels_(levels) {
    levels_.descriptors[0] = levels_.descriptors[1] = NO_DESCRIPTOR;
}

// A root that is a link stays; one that is not a directory is left alone.
bool descriptor_removal::begin(HANDLE folder, const u16* name, tree_deletion& result) {
    int& descriptor = levels_.descriptors[0];
    descriptor = descriptor_of(folder);
    if (descriptor < 0 || !host_name(name, levels_.host_name, HOST_NAME_CAPACITY)) {
        result.incomplete = true;
        return false;
    }
    linux_status named = {};
    long long looked = status_of_name(descriptor, levels_.host_name, named);
    uint32_t type = named.mode & TYPE_MASK;
    if (looked == 0 && type == TYPE_DIRECTORY) return true;
    if (looked == LINUX_NOT_FOUND)
        result.removed = true;
    else if (looked == 0 && type == TYPE_LINK)
        result.kept_link = result.refused = true;
    else
        result.incomplete = true;
    return false;
}

bool descriptor_removal::enter(size_t depth, const opened_entry& directory, const u16* name) {
    int& descriptor = levels_.descriptors[depth];
    descriptor = NO_DESCRIPTOR;
    if (!host_name(name, levels_.host_name, HOST_NAME_CAPACITY)) return false;
    descriptor = proved_directory(levels_.descriptors[depth - 1], levels_.host_name, directory.handle);
    return descriptor >= 0;
}

// What the name is, looked at without following it or opening it. A link
// stays (refused); a special file (a FIFO, a socket, a device) is removed as
// a name, never opened: opening a FIFO would wait for a writer.
bool descriptor_removal::settle(size_t depth, const u16* name, tree_deletion& result) {
    if (!host_name(name, levels_.host_name, HOST_NAME_CAPACITY)) {
        result.incomplete = true;
        return true;
    }
    int parent = levels_.descriptors[depth];
    linux_status named = {};
    long long looked = status_of_name(parent, levels_.host_name, named);
    if (looked == LINUX_NOT_FOUND) return true;  // another deleter was first
    if (looked != 0) {
        result.incomplete = true;
        return true;
    }
    uint32_t type = named.mode & TYPE_MASK;
    if (type == TYPE_LINK) {
        result.kept_link = true;
        result.refused = true;
        return true;
    }
    if (type == TYPE_DIRECTORY || type == TYPE_FILE) return false;
    if (win32.linux_call(LINUX_UNLINKAT, parent, reinterpret_cast<long long>(levels_.host_name), 0, 0) != 0)
        result.incomplete = true;
    return true;
}

bool descriptor_removal::remove(size_t depth, const opened_entry& judged, const u16* name, bool&) {
    return host_name(name, levels_.host_name, HOST_NAME_CAPACITY) &&
           remove_by_descriptor(judged, paths_.own_path, paths_.probe, levels_.descriptors[depth],
                                levels_.host_name);
}
