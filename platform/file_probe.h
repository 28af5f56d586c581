// Looks at many entries below one held directory, each reached without
// following a link anywhere on its way: a cache's check at every start.
// Under Wine on a Linux host one kernel call opens an entry (openat2, which
// refuses any link on the path) where Wine's own opens cost a server round
// trip and a walk of the path each; elsewhere each entry is opened relative
// to the directory's handle and judged there (tree_deleter.h). Windows only.
#pragma once
#ifndef _WIN32
#error "file_probe.h is for the Windows build only"
#endif

#include <windows.h>

#include <cstdint>

#include "format/units.h"
#include "platform/bounded_buffer.h"

struct file_probe {
    HANDLE directory;
    u16 own_path[RUN_DIRECTORY_CAPACITY];  // the directory's own path
    int descriptor;                        // its Unix descriptor, or -1
};

// Prepares `probe` for the directory open as `directory` (with list
// access), which stays the caller's. False when its own path cannot be read.
bool open_file_probe(HANDLE directory, file_probe& probe);
// True when `relative` ("\"-separated) below the probe's directory is
// reached without any link, and is a plain file with one name and `size`
// bytes.
bool plain_file_below(file_probe& probe, const u16* relative, uint64_t size);
void close_file_probe(file_probe& probe);
