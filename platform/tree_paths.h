// Path building for the tree deleter and the sweep: whole components only,
// bounded, never past a floor. Platform-free; no Win32 calls here.
#pragma once
#include <cstddef>

#include "format/units.h"

// Writes the long-path form of the absolute path `full` into `out`
// (capacity units): \\?\ before a drive path, \\?\UNC\ for \\server\share,
// unchanged when it has the prefix already. False when it does not fit or
// the path is neither form (relative).
bool make_long_path(u16* out, size_t capacity, const u16* full);

// Appends "\" and `name` to the path in `path` (capacity units), with no
// second backslash after a path that ends in one (a drive's root); false,
// with `path` unchanged, when it does not fit.
bool append_component(u16* path, size_t capacity, const u16* name);
// Removes the last "\component"; never goes before `floor` units.
void remove_component(u16* path, size_t floor);

// The folder that holds the entry `path` names: the units before its last
// backslash, or up to and including it when what is left is a drive ("R:"),
// whose bare form would name that drive's current directory. 0 when there is
// no backslash.
size_t folder_length(const u16* path);
