// The tree deleter's steps on one entry, for its walk (tree_deleter_win32.cpp):
// an entry opened relative to its folder and judged on the handle, a second
// handle proven to be the same object, and the two ways of removing what
// was judged. Windows only; no walking here.
#pragma once
#ifndef _WIN32
#error "tree_removal_win32.h is for the Windows build only"
#endif

#include <cstddef>

#include "format/shared_names.h"
#include "platform/tree_deleter.h"
#include "platform/unix_route_win32.h"

// Long enough for every path the system accepts; a tree is at most this
// many levels deep, since every level adds at least two units.
constexpr size_t OWN_PATH_CAPACITY = 32768;
constexpr size_t MAX_TREE_DEPTH = OWN_PATH_CAPACITY / 2;
// Names are at most 255 units; in the host's form, three bytes a unit.
constexpr size_t HOST_NAME_CAPACITY = COMPONENT_NAME_CAPACITY * 3 + 1;

// Per deletion, on the heap: two deleters may run at once (the console
// handler's thread and the main thread; the sweep's thread).
struct path_workspace {
    u16 own_path[OWN_PATH_CAPACITY];  // what the current entry's own path must be
    u16 probe[OWN_PATH_CAPACITY];     // what a handle says its own path is
};

// Opens `name` of `folder` and judges it on the handle: `expected` is the
// path it must have (the folder's own path and the name), `probe` room for
// the one the handle has. A foreign entry's handle is closed.
opened_entry open_and_judge(HANDLE folder, const u16* name, DWORD access, DWORD share,
                            const u16* expected, u16* probe);

// A second handle, with `access`, on what `judged` is open on, proven to be
// that object under its own path `expected`; INVALID_HANDLE_VALUE otherwise.
HANDLE reopen_same(const opened_entry& judged, DWORD access, const u16* expected, u16* probe,
                   DWORD share = SHARE_ALL);

void close_entry(opened_entry& entry);

// Removal through handles (Windows): a delete disposition set on a second
// handle, read-only entries made writable first where the system does not
// ignore the bit on request. A plain file with more than one name shares
// its attributes with a name that may lie outside the tree: its read-only
// bit is never cleared, and `refused` is set when it stays for that.
bool remove_by_handle(const opened_entry& judged, const u16* expected, u16* probe, bool& refused);

// Under Wine on a Linux host, removal through the Unix descriptor of the
// proved directory `parent`: unlinkat of `name` (the host's form) when it is
// still the object judged. The second handle only asks whether anything
// holds the entry against deletion; the object's bits are never changed.
bool remove_by_descriptor(const opened_entry& judged, const u16* expected, u16* probe, int parent,
                          const char* name);

// How the walk removes, one of the two below. The walk's levels are
// numbered from 1 (the root); 0 is the folder that holds the root.
//   begin   before the root `name` of `folder` is opened: false when that
//           settles the deletion (`result` then says how)
//   enter   a judged directory becomes level `depth`: false when it cannot
//   settle  the entry `name` of level `depth`, before it is opened: true
//           when that settles it (removed or kept; `result` says how)
//   remove  the judged link, file or emptied directory `name` of level
//           `depth` (`expected` its own path)
//   leave   level `depth` is done with; end: the walk is
class handle_removal {
public:
    explicit handle_removal(path_workspace& paths) : paths_(paths) {}
    bool begin(HANDLE, const u16*, tree_deletion&) { return true; }
    bool enter(size_t depth, const opened_entry& directory, const u16* name);
    bool settle(size_t, const u16*, tree_deletion&) { return false; }
    bool remove(size_t, const opened_entry& judged, const u16*, bool& refused) {
        return remove_by_handle(judged, paths_.own_path, paths_.probe, refused);
    }
    void leave(size_t) {}
    void end() {}

private:
    path_workspace& paths_;
};

// The descriptors of the folder ([0]) and of each level, and the current
// name in the host's form.
struct descriptor_levels {
    int descriptors[MAX_TREE_DEPTH + 1];
    char host_name[HOST_NAME_CAPACITY];
};

class descriptor_removal {
public:
    descriptor_removal(path_workspace& paths, descriptor_levels& levels);
    bool begin(HANDLE folder, const u16* name, tree_deletion& result);
    bool enter(size_t depth, const opened_entry& directory, const u16* name);
    bool settle(size_t depth, const u16* name, tree_deletion& result);
    bool remove(size_t depth, const opened_entry& judged, const u16* name, bool& refused);
    void leave(size_t depth) { close_descriptor(levels_.descriptors[depth]); }
    void end() { close_descriptor(levels_.descriptors[0]); }

private:
    path_workspace& paths_;
    descriptor_levels& levels_;
};
