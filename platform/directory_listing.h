// A directory listed through its handle, one entry at a time: the tree
// deleter's walk and the start-up sweep read the same records the same way.
// Windows only; native calls through `win32`.
#pragma once
#ifndef _WIN32
#error "directory_listing.h is for the Windows build only"
#endif

#include <cstddef>

#include "format/units.h"
#include "platform/win32_api.h"

// One record of a directory listed through its handle (NtQueryDirectoryFile,
// the FileDirectoryInformation class).
struct directory_record {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER times[4];
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG attributes;
    ULONG name_bytes;
    WCHAR name[1];
};
constexpr int FILE_DIRECTORY_INFORMATION_CLASS = 1;

// Where a listing stands: the caller's buffer (8-byte aligned) and the
// records in it not read yet. With `one_at_a_time` the system is asked for
// a single record per call, so nothing is kept between two calls but the
// handle's own position: one listing then serves several directories (the
// deleter's levels, each listed on where it stopped). `restart` makes the
// next query begin at the directory's first entry.
struct directory_listing {
    unsigned char* records;
    ULONG capacity;
    bool one_at_a_time;
    bool restart;
    ULONG next;    // offset of the next record not read yet
    bool holding;  // the buffer holds records not read yet
};

directory_listing listing_in(unsigned char* records, ULONG capacity, bool one_at_a_time);

// The next entry of `directory` but "." and "..": its name copied into
// `name` (capacity units), its record returned (valid until the next call).
// An entry whose name does not fit is passed over: there is no name to open
// it by. nullptr at the end of the listing, and when the system refuses it
// (`failed` then set).
const directory_record* next_listed(HANDLE directory, directory_listing& listing, u16* name,
                                    size_t capacity, bool& failed);
