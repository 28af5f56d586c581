// The one deleter: opens relative to a directory handle without following
// reparse points, judges each entry on its own handle and deletes through a
// second handle reopened from the first (under Wine on Linux, through the
// Unix descriptor of the directory it proved), never by a path. Win32,
// native and, under Wine on Linux, kernel calls only, through `win32`; the
// path rules are in tree_paths.cpp.
//
// Two goals, in this order: never delete (or change) anything outside the
// tree, and do not fail when several deleters work on one tree at once.
#include "platform/tree_deleter.h"

#include <cstdint>

#include "format/shared_names.h"
#include "platform/tree_paths.h"
#include "platform/unix_route_win32.h"
#include "platform/win32_api.h"

namespace {

// Long enough for every path the system accepts; a tree is at most this
// many levels deep, since every level adds at least two units.
constexpr size_t OWN_PATH_CAPACITY = 32768;
constexpr size_t MAX_TREE_DEPTH = OWN_PATH_CAPACITY / 2;
// Names are at most 255 units; one directory record with room to spare.
constexpr size_t LISTING_BYTES = 4096;
constexpr ULONG RELATIVE_OPEN_OPTIONS =
    FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr DWORD REOPEN_FLAGS = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD DELETE_ACCESS = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

constexpr NTSTATUS STATUS_OK = 0;
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = static_cast<NTSTATUS>(0x80000006);  // NO_MORE_FILES
constexpr NTSTATUS STATUS_NO_SUCH_ENTRY = static_cast<NTSTATUS>(0xC000000F);    // NO_SUCH_FILE
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

// Per deletion, on the heap: two deleters may run at once (the console
// handler's thread and the main thread; the sweep's thread).
struct path_workspace {
    u16 own_path[OWN_PATH_CAPACITY];  // what the current entry's own path must be
    u16 probe[OWN_PATH_CAPACITY];     // what a handle says its own path is
};
struct name_workspace : path_workspace {
    char unix_name[COMPONENT_NAME_CAPACITY * 3 + 1];  // under Wine on Linux: the name in the host's form
};
struct workspace : path_workspace {
    u16 name[COMPONENT_NAME_CAPACITY];
    DWORD listed_attributes;  // what the listing says the entry is: a hint only
    alignas(8) unsigned char listing[LISTING_BYTES];
    opened_entry levels[MAX_TREE_DEPTH];
    // Under Wine on Linux: the Unix descriptor of the folder ([0]) and of
    // each level ([1 + level]), and the current name in the host's form.
    int descriptors[MAX_TREE_DEPTH + 1];
    char unix_name[COMPONENT_NAME_CAPACITY * 3 + 1];
};

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

bool is_dot_name(const u16* name) {
    return name[0] == U16('.') && (name[1] == 0 || (name[1] == U16('.') && name[2] == 0));
}

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

// A second handle, with `access`, on what `judged` is open on. Windows
// reopens the object itself; Wine 8 opens the name again, which by now may
// be a link swapped in: the new handle must be the same object (its number,
// and its own path `expected`, which names the volume), and, but for a
// directory (whose count follows its subdirectories), with as many names as
// when it was judged: a name added outside since would share the attributes
// the judgement allowed to change.
HANDLE reopen_same(const opened_entry& judged, DWORD access, const u16* expected, u16* probe,
                   DWORD share = SHARE_ALL) {
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

// Deletes what `judged` (kind link, directory or file) is open on. A plain
// file with more than one name shares its attributes with a name that may
// lie outside the tree: its read-only bit is never cleared, and `refused`
// is set when it stays for that. Under Wine on Linux the second handle only
// asks whether anything holds the entry against deletion; the name `name`
// goes through `parent` (its proved folder's descriptor), still the object
// judged, and the bits of the object are never changed.
bool delete_opened(const opened_entry& judged, const u16* expected, u16* probe, int parent,
                   const char* name, bool& refused) {
    if (parent != NO_DESCRIPTOR) {
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

void close_entry(opened_entry& entry) {
    if (entry.handle != INVALID_HANDLE_VALUE) win32.CloseHandle(entry.handle);
    entry.handle = INVALID_HANDLE_VALUE;
}

// Reads the next entry of `directory` into `work.name`: one record per call,
// so the listing goes on where it was after a level below was deleted, and
// nothing of it needs to be kept per level. False at the end or on failure
// (`failed` then set).
bool next_name(HANDLE directory, workspace& work, bool& failed) {
    for (;;) {
        IO_STATUS_BLOCK io = {};
        NTSTATUS status = win32.NtQueryDirectoryFile(
            directory, nullptr, nullptr, nullptr, &io, work.listing, LISTING_BYTES,
            static_cast<FILE_INFORMATION_CLASS>(FILE_DIRECTORY_INFORMATION_CLASS), TRUE, nullptr,
            FALSE);
        if (status != STATUS_OK) {
            failed = status != STATUS_NO_MORE_ENTRIES && status != STATUS_NO_SUCH_ENTRY;
            return false;
        }
        const auto* record = reinterpret_cast<const directory_record*>(work.listing);
        size_t units = record->name_bytes / sizeof(u16);
        if (units == 0 || units >= COMPONENT_NAME_CAPACITY) continue;  // no name it can open; it stays
        for (size_t index = 0; index < units; ++index) work.name[index] = record->name[index];
        work.name[units] = 0;
        work.listed_attributes = record->attributes;
        if (!is_dot_name(work.name)) return true;
    }
}

// Opens `name` of `folder` and judges it on the handle: `expected` is the
// path it must have (the folder's own path and the name), `probe` room for
// the one the handle has. A foreign entry's handle is closed.
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

// Straight from the system, not from the runtime's heap: the sweep's thread
// may be ended at any moment by the process's exit, and a thread ended inside
// the heap leaves its lock taken for the exit's own clean-up, which then
// waits for ever (seen under Wine 8 in the load tests). Reserving and
// releasing pages takes no lock of this process's own.
template <typename Workspace = workspace>
Workspace* new_workspace() {
    return static_cast<Workspace*>(
        VirtualAlloc(nullptr, sizeof(Workspace), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void free_workspace(void* work) {
    if (work != nullptr) VirtualFree(work, 0, MEM_RELEASE);
}

// `folder_path` and "\" and `name` into `work.own_path`.
bool expect_path(path_workspace& work, const u16* folder_path, const u16* name) {
    if (u16_length(folder_path) >= OWN_PATH_CAPACITY) return false;
    for (size_t index = 0; (work.own_path[index] = folder_path[index]) != 0; ++index) {}
    return append_component(work.own_path, OWN_PATH_CAPACITY, name);
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

HANDLE folder_open(const u16* path) {
    return win32.CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr);
}

opened_entry entry_open(HANDLE folder, const u16* folder_path, const u16* name, DWORD access,
                        DWORD share) {
    opened_entry entry = {INVALID_HANDLE_VALUE, entry_kind::failed, 0, 0, 0, 0};
    auto* work = new_workspace<path_workspace>();
    if (work != nullptr && expect_path(*work, folder_path, name))
        entry = open_and_judge(folder, name, access, share, work->own_path, work->probe);
    free_workspace(work);
    return entry;
}

namespace {

// The last component of `path`.
const u16* last_component(const u16* path) {
    const u16* last = path;
    for (const u16* unit = path; *unit != 0; ++unit)
        if (*unit == U16('\\')) last = unit + 1;
    return last;
}

// Under Wine on Linux: what the name `work.unix_name` of the proved
// directory `parent` is, looked at without following it or opening it. A
// link stays (`refused`); a special file (a FIFO, a socket, a device) is
// removed as a name, never opened: opening a FIFO would wait for a writer.
// True when the entry is settled here, false when it is to be judged on
// a handle.
bool settle_by_name(int parent, workspace& work, tree_deletion& result) {
    linux_status named = {};
    long long looked = status_of_name(parent, work.unix_name, named);
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
    if (win32.linux_call(LINUX_UNLINKAT, parent, reinterpret_cast<long long>(work.unix_name), 0, 0) != 0)
        result.incomplete = true;
    return true;
}

}  // namespace

tree_deletion delete_tree(HANDLE folder, const u16* name, int64_t root_index,
                          const std::atomic<bool>* stop) {
    tree_deletion result = {false, false, false, false};
    workspace* work = new_workspace();
    if (work == nullptr || !folder_own_path(folder, work->own_path, OWN_PATH_CAPACITY) ||
        !append_component(work->own_path, OWN_PATH_CAPACITY, name)) {
        free_workspace(work);
        result.incomplete = true;
        return result;
    }
    bool by_descriptor = unix_route();
    int* descriptors = work->descriptors;
    descriptors[0] = descriptors[1] = NO_DESCRIPTOR;
    if (by_descriptor) {
        descriptors[0] = descriptor_of(folder);
        if (descriptors[0] < 0 || !host_name(name, work->unix_name, sizeof work->unix_name)) {
            close_descriptor(descriptors[0]);
            free_workspace(work);
            result.incomplete = true;
            return result;
        }
        // A root that is a link stays; one that is not a directory is left alone.
        linux_status named = {};
        long long looked = status_of_name(descriptors[0], work->unix_name, named);
        uint32_t type = named.mode & TYPE_MASK;
        if (looked != 0 || type != TYPE_DIRECTORY) {
            if (looked == LINUX_NOT_FOUND)
                result.removed = true;
            else if (looked == 0 && type == TYPE_LINK)
                result.kept_link = result.refused = true;
            else
                result.incomplete = true;
            close_descriptor(descriptors[0]);
            free_workspace(work);
            return result;
        }
    }
    constexpr DWORD LIST_ACCESS = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    opened_entry root = open_and_judge(folder, name, LIST_ACCESS, SHARE_ALL, work->own_path,
                                       work->probe);
    switch (root.kind) {
        case entry_kind::gone: result.removed = true; break;
        case entry_kind::directory:
            // Another directory at that name by now, not the one judged:
            // like a link, something that is not the caller's stands there,
            // and no later attempt will change that.
            if (root.index != root_index) result.kept_link = result.refused = true;
            break;
        case entry_kind::foreign:
        case entry_kind::link: result.kept_link = result.refused = true; break;
        default: result.incomplete = true; break;
    }
    if (root.kind == entry_kind::directory && root.index == root_index && by_descriptor) {
        descriptors[1] = proved_directory(descriptors[0], work->unix_name, root.handle);
        if (descriptors[1] < 0) {
            root.kind = entry_kind::failed;
            result.incomplete = true;
        }
    }
    if (root.kind != entry_kind::directory || root.index != root_index) {
        close_entry(root);
        close_descriptor(descriptors[0]);
        free_workspace(work);
        return result;
    }
    if (!by_descriptor) make_directory_writable(root, work->own_path, work->probe);

    // Each level keeps its judged entry, for the second handle that deletes
    // it, and under Wine on Linux its proved descriptor.
    size_t depth = 0;
    work->levels[depth++] = root;
    while (depth > 0) {
        if (stop != nullptr && stop->load()) {
            result.incomplete = true;
            break;
        }
        HANDLE directory = work->levels[depth - 1].handle;
        bool listing_failed = false;
        if (!next_name(directory, *work, listing_failed)) {
            // The level is listed to its end: remove it, then go on with
            // the level above where its listing stopped.
            if (listing_failed) result.incomplete = true;
            int parent = NO_DESCRIPTOR;
            bool named = true;
            if (by_descriptor) {
                close_descriptor(descriptors[depth]);
                parent = descriptors[depth - 1];
                named = host_name(last_component(work->own_path), work->unix_name,
                                  sizeof work->unix_name);
            }
            bool removed = named && delete_opened(work->levels[depth - 1], work->own_path,
                                                  work->probe, parent, work->unix_name,
                                                  result.refused);
            win32.CloseHandle(directory);
            --depth;
            if (depth == 0) {
                result.removed = removed;
            } else {
                remove_component(work->own_path, 0);
            }
            continue;
        }
        if (!append_component(work->own_path, OWN_PATH_CAPACITY, work->name)) {
            result.incomplete = true;
            continue;
        }
        int parent = by_descriptor ? descriptors[depth] : NO_DESCRIPTOR;
        if (by_descriptor) {
            if (!host_name(work->name, work->unix_name, sizeof work->unix_name)) {
                result.incomplete = true;
                remove_component(work->own_path, 0);
                continue;
            }
            if (settle_by_name(parent, *work, result)) {
                remove_component(work->own_path, 0);
                continue;
            }
        }
        // What the listing says only chooses the access: a directory is
        // opened for listing, anything else for its attributes alone, which
        // takes part in no sharing check. The handle decides what it is.
        bool listed_directory = (work->listed_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (work->listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        opened_entry entry = open_and_judge(directory, work->name,
                                            listed_directory ? LIST_ACCESS : FILE_READ_ATTRIBUTES,
                                            SHARE_ALL, work->own_path, work->probe);
        if (entry.kind == entry_kind::directory && !listed_directory) {
            HANDLE listing = reopen_same(entry, LIST_ACCESS, work->own_path, work->probe);
            close_entry(entry);
            entry.handle = listing;
            if (listing == INVALID_HANDLE_VALUE) entry.kind = entry_kind::failed;
        }
        bool descend = false;
        switch (entry.kind) {
            case entry_kind::gone: break;  // another deleter was first
            case entry_kind::foreign: result.kept_link = result.refused = true; break;
            case entry_kind::directory:
                if (depth >= MAX_TREE_DEPTH) {
                    result.incomplete = true;
                } else if (by_descriptor) {
                    int own = proved_directory(parent, work->unix_name, entry.handle);
                    if (own < 0) {
                        result.incomplete = true;
                        break;
                    }
                    descriptors[depth + 1] = own;
                    descend = true;
                } else {
                    make_directory_writable(entry, work->own_path, work->probe);
                    descriptors[depth + 1] = NO_DESCRIPTOR;
                    descend = true;
                }
                if (descend) {
                    work->levels[depth++] = entry;
                    entry.handle = INVALID_HANDLE_VALUE;
                }
                break;
            case entry_kind::link:
            case entry_kind::file:
                if (!delete_opened(entry, work->own_path, work->probe, parent, work->unix_name,
                                   result.refused))
                    result.incomplete = true;
                break;
            default: result.incomplete = true; break;
        }
        close_entry(entry);
        if (!descend) remove_component(work->own_path, 0);
    }
    while (depth > 0) {
        close_descriptor(descriptors[depth]);
        win32.CloseHandle(work->levels[--depth].handle);
    }
    close_descriptor(descriptors[0]);
    free_workspace(work);
    // What stays above a link that had to stay is not a failure of its own.
    if (result.removed) result.incomplete = false;
    return result;
}

bool delete_file_entry(HANDLE folder, const u16* name, int64_t expected_index) {
    auto* work = new_workspace<name_workspace>();
    bool gone = false;
    int parent = NO_DESCRIPTOR;
    bool named = true;
    if (work != nullptr && unix_route()) {
        parent = descriptor_of(folder);
        named = parent >= 0 && host_name(name, work->unix_name, sizeof work->unix_name);
    }
    if (work != nullptr && named && folder_own_path(folder, work->own_path, OWN_PATH_CAPACITY) &&
        append_component(work->own_path, OWN_PATH_CAPACITY, name)) {
        bool refused = false;
        opened_entry entry = open_and_judge(folder, name, 0, SHARE_ALL, work->own_path, work->probe);
        gone = entry.kind == entry_kind::gone ||
               (entry.kind == entry_kind::file && entry.index == expected_index &&
                delete_opened(entry, work->own_path, work->probe, parent, work->unix_name, refused));
        close_entry(entry);
    }
    close_descriptor(parent);
    free_workspace(work);
    return gone;
}

HANDLE entry_reopen(const opened_entry& judged, const u16* folder_path, const u16* name,
                    DWORD access, DWORD share) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    auto* work = new_workspace<path_workspace>();
    if (work != nullptr && expect_path(*work, folder_path, name))
        handle = reopen_same(judged, access, work->own_path, work->probe, share);
    free_workspace(work);
    return handle;
}
