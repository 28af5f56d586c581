// The one deleter. Everything the launcher removes (its run directory, the
// sweep's leftovers, a lock file) goes through it. It works on handles, never
// on a path after a check: each entry is opened relative to its directory's
// handle without following a reparse point, judged on that handle and deleted
// through it, so nothing outside the tree it was given is ever removed,
// truncated, renamed or changed. Windows only.
#pragma once
#ifndef _WIN32
#error "tree_deleter.h is for the Windows build only"
#endif

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "format/units.h"

// What an entry opened through entry_open turned out to be.
enum class entry_kind {
    gone,       // no such entry (any more)
    failed,     // could not be opened or judged: in use, access denied, ...
    foreign,    // the handle's own path is not the entry's: a link that the
                // system followed (a Unix symbolic link under Wine 8); only
                // looked at, never changed
    link,       // a reparse point opened as itself: removing it removes the link
    directory,  // a plain directory of the tree
    file,       // a plain file of the tree
};

struct opened_entry {
    HANDLE handle;      // INVALID_HANDLE_VALUE unless the kind is link, directory or file
    entry_kind kind;
    // As the handle reports them.
    DWORD attributes;
    DWORD links;         // names the object has
    LONGLONG index;      // the object's number on its volume
    LONGLONG size;       // its data's size in bytes
};

// Opens the entry `name` of the directory `folder` without following a
// reparse point, with `access` (plus attribute reading) and `share`, and
// judges it on the handle: its own path must be the folder's own path and
// `name`. `folder_path` is the folder's own path (folder_own_path). A handle
// of kind foreign is closed before the return.
opened_entry entry_open(HANDLE folder, const u16* folder_path, const u16* name, DWORD access,
                        DWORD share);

// A second handle, with `access` and `share`, on what `judged` (opened by
// entry_open from the same folder path and name) is open on, proven to be
// the same object under the same own path; INVALID_HANDLE_VALUE otherwise.
// The way to write to, lock or delete an entry after judging it.
HANDLE entry_reopen(const opened_entry& judged, const u16* folder_path, const u16* name,
                    DWORD access, DWORD share);

// The system's own name for what `handle` is open on (for a file, the
// device path with every component; under Wine 8 the path a link leads to),
// into `out` (capacity units). False when it cannot be read or does not fit.
bool folder_own_path(HANDLE handle, u16* out, size_t capacity);

// Opens the folder at `path` (following whatever links lead to it: it is
// the place the caller was given) for listing and for opening entries
// relative to it. INVALID_HANDLE_VALUE when it cannot.
HANDLE folder_open(const u16* path);

struct tree_deletion {
    bool removed;      // nothing of that name is left (or there was none)
    bool kept_link;    // a link was left in place, and the directories above it;
                       // or the root is not the object numbered root_index
    bool incomplete;   // something else stays: in use, failed, stopped
    bool refused;      // an entry the deleter would not take stays (a link, a
                       // file with further names it could delete only by
                       // changing them, a root not the one numbered): no
                       // other way of deleting may touch this tree, and
                       // trying again changes nothing
};

// Deletes the directory `name` of `folder`, everything below it first, one
// level at a time without recursion (a tree may be thousands of levels
// deep). A link is removed as a link where the handle is the link itself
// (Windows), and otherwise left in place; nothing behind it is opened for
// writing or deletion. Read-only entries are deleted where the system
// ignores the bit on request, or else made writable first, but only through
// a handle proven to be the tree's own entry and never for a file with
// further names (a hard link shares its attributes with the outside). Under
// Wine on a Linux host each name is removed with unlinkat on the Unix
// descriptor of its proved directory, so a folder swapped for a link while
// the walk runs leads nowhere; a file's bits are never changed there (the
// kernel ignores them), and a special file (a FIFO, a socket, a device) is
// removed as a name without being opened. When `stop` becomes true the walk
// ends between two entries. A root that is itself a link, or not a
// directory, or not the object numbered `root_index` (the directory the
// caller judged to be its own: see launcher/ownership.h), is left alone.
// Reports nothing.
tree_deletion delete_tree(HANDLE folder, const u16* name, int64_t root_index,
                          const std::atomic<bool>* stop);

// Deletes the plain file `name` of `folder`, the object numbered
// `expected_index`, by the same rules. True when it is gone.
bool delete_file_entry(HANDLE folder, const u16* name, int64_t expected_index);

