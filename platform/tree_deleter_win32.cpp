// The one deleter's walk: each directory listed through its handle, each
// entry opened relative to it without following reparse points, judged on
// its own handle and removed by one of the two ways in tree_removal_win32.cpp
// (through handles; under Wine on Linux, through the Unix descriptors of the
// directories it proved), never by a path. Win32 and native calls only,
// through `win32`; the path rules are in tree_paths.cpp.
//
// Two goals, in this order: never delete (or change) anything outside the
// tree, and do not fail when several deleters work on one tree at once.
#include "platform/tree_deleter.h"

#include "platform/directory_listing.h"
#include "platform/tree_paths.h"
#include "platform/tree_removal_win32.h"

namespace {

// One directory record with room to spare: the walk asks for one at a time.
constexpr ULONG LISTING_BYTES = 4096;
constexpr DWORD LIST_ACCESS = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

struct name_workspace : path_workspace {
    char host_name[HOST_NAME_CAPACITY];  // under Wine on Linux: the name in the host's form
};
struct walk_workspace : path_workspace {
    u16 name[COMPONENT_NAME_CAPACITY];
    alignas(8) unsigned char records[LISTING_BYTES];
    // Each level's judged entry, for the second handle that removes it.
    opened_entry levels[MAX_TREE_DEPTH];
    descriptor_levels descriptors;  // the way through descriptors only
};

// Straight from the system, not from the runtime's heap: the sweep's thread
// may be ended at any moment by the process's exit, and a thread ended inside
// the heap leaves its lock taken for the exit's own clean-up, which then
// waits for ever (seen under Wine 8 in the load tests). Reserving and
// releasing pages takes no lock of this process's own.
template <typename Workspace>
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

// The last component of `path`.
const u16* last_component(const u16* path) {
    const u16* last = path;
    for (const u16* unit = path; *unit != 0; ++unit)
        if (*unit == U16('\\')) last = unit + 1;
    return last;
}

// The root `name` of `folder`, judged: true when it is the directory
// numbered `root_index`, entered as the walk's first level.
template <typename Method>
bool enter_root(HANDLE folder, const u16* name, int64_t root_index, walk_workspace& work,
                Method& method, tree_deletion& result) {
    opened_entry root = open_and_judge(folder, name, LIST_ACCESS, SHARE_ALL, work.own_path,
                                       work.probe);
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
    if (root.kind != entry_kind::directory || root.index != root_index) {
        close_entry(root);
        return false;
    }
    if (!method.enter(1, root, name)) {
        result.incomplete = true;
        close_entry(root);
        return false;
    }
    work.levels[0] = root;
    return true;
}

// The walk, one level at a time without recursion: each directory listed
// to its end, its entries removed and its subdirectories entered on the
// way, then the directory itself.
template <typename Method>
void walk_tree(HANDLE folder, const u16* name, int64_t root_index, const std::atomic<bool>* stop,
               walk_workspace& work, Method& method, tree_deletion& result) {
    if (!method.begin(folder, name, result) ||
        !enter_root(folder, name, root_index, work, method, result))
        return;
    directory_listing listing = listing_in(work.records, LISTING_BYTES, true);
    size_t depth = 1;
    while (depth > 0) {
        if (stop != nullptr && stop->load()) {
            result.incomplete = true;
            break;
        }
        HANDLE directory = work.levels[depth - 1].handle;
        bool listing_failed = false;
        const directory_record* record =
            next_listed(directory, listing, work.name, COMPONENT_NAME_CAPACITY, listing_failed);
        if (record == nullptr) {
            // The level is listed to its end: remove it, then go on with
            // the level above where its listing stopped.
            if (listing_failed) result.incomplete = true;
            method.leave(depth);
            bool removed = method.remove(depth - 1, work.levels[depth - 1],
                                         last_component(work.own_path), result.refused);
            win32.CloseHandle(directory);
            --depth;
            if (depth == 0) {
                result.removed = removed;
            } else {
                remove_component(work.own_path, 0);
            }
            continue;
        }
        DWORD listed_attributes = record->attributes;
        if (!append_component(work.own_path, OWN_PATH_CAPACITY, work.name)) {
            result.incomplete = true;
            continue;
        }
        if (method.settle(depth, work.name, result)) {
            remove_component(work.own_path, 0);
            continue;
        }
        // What the listing says only chooses the access: a directory is
        // opened for listing, anything else for its attributes alone, which
        // takes part in no sharing check. The handle decides what it is.
        bool listed_directory = (listed_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (listed_attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        opened_entry entry = open_and_judge(directory, work.name,
                                            listed_directory ? LIST_ACCESS : FILE_READ_ATTRIBUTES,
                                            SHARE_ALL, work.own_path, work.probe);
        if (entry.kind == entry_kind::directory && !listed_directory) {
            HANDLE listable = reopen_same(entry, LIST_ACCESS, work.own_path, work.probe);
            close_entry(entry);
            entry.handle = listable;
            if (listable == INVALID_HANDLE_VALUE) entry.kind = entry_kind::failed;
        }
        bool descend = false;
        switch (entry.kind) {
            case entry_kind::gone: break;  // another deleter was first
            case entry_kind::foreign: result.kept_link = result.refused = true; break;
            case entry_kind::directory:
                if (depth >= MAX_TREE_DEPTH || !method.enter(depth + 1, entry, work.name)) {
                    result.incomplete = true;
                } else {
                    work.levels[depth++] = entry;
                    entry.handle = INVALID_HANDLE_VALUE;
                    descend = true;
                }
                break;
            case entry_kind::link:
            case entry_kind::file:
                if (!method.remove(depth, entry, work.name, result.refused)) result.incomplete = true;
                break;
            default: result.incomplete = true; break;
        }
        close_entry(entry);
        if (!descend) remove_component(work.own_path, 0);
    }
    while (depth > 0) {
        method.leave(depth);
        win32.CloseHandle(work.levels[--depth].handle);
    }
}

}  // namespace

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

HANDLE entry_reopen(const opened_entry& judged, const u16* folder_path, const u16* name,
                    DWORD access, DWORD share) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    auto* work = new_workspace<path_workspace>();
    if (work != nullptr && expect_path(*work, folder_path, name))
        handle = reopen_same(judged, access, work->own_path, work->probe, share);
    free_workspace(work);
    return handle;
}

tree_deletion delete_tree(HANDLE folder, const u16* name, int64_t root_index,
                          const std::atomic<bool>* stop) {
    tree_deletion result = {false, false, false, false};
    auto* work = new_workspace<walk_workspace>();
    if (work == nullptr || !folder_own_path(folder, work->own_path, OWN_PATH_CAPACITY) ||
        !append_component(work->own_path, OWN_PATH_CAPACITY, name)) {
        free_workspace(work);
        result.incomplete = true;
        return result;
    }
    if (unix_route()) {
        descriptor_removal method(*work, work->descriptors);
        walk_tree(folder, name, root_index, stop, *work, method, result);
        method.end();
    } else {
        handle_removal method(*work);
        walk_tree(folder, name, root_index, stop, *work, method, result);
        method.end();
    }
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
        named = parent >= 0 && host_name(name, work->host_name, HOST_NAME_CAPACITY);
    }
    if (work != nullptr && named && folder_own_path(folder, work->own_path, OWN_PATH_CAPACITY) &&
        append_component(work->own_path, OWN_PATH_CAPACITY, name)) {
        bool refused = false;
        opened_entry entry = open_and_judge(folder, name, 0, SHARE_ALL, work->own_path, work->probe);
        gone = entry.kind == entry_kind::gone ||
               (entry.kind == entry_kind::file && entry.index == expected_index &&
                (parent != NO_DESCRIPTOR
                     ? remove_by_descriptor(entry, work->own_path, work->probe, parent, work->host_name)
                     : remove_by_handle(entry, work->own_path, work->probe, refused)));
        close_entry(entry);
    }
    close_descriptor(parent);
    free_workspace(work);
    return gone;
}
