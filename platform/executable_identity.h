// Executable identity: a module path with links and mapped drives resolved
// and its directory part in short form, so that two spellings of one file
// compare equal unit by unit.
#pragma once
#include <cstdint>

#include "platform/bounded_buffer.h"

// The long-path prefixes that GetFinalPathNameByHandleW puts in front.
// Applied to `result` (capacity units) after the lookup: "\\?\" is removed
// when a drive colon follows or the rest equals `source`; "\\?\UNC\" becomes
// "\\". Platform-free.
void strip_long_path_prefix(u16* result, const u16* source, size_t capacity);

#ifdef _WIN32
// Copy mode (resolve false): bounded_copy. Resolve mode: the file system's
// final path for the file, prefixes stripped; the source may be the
// destination. A file that cannot be opened, or a final path that needs the
// whole capacity, ends the process abnormally.
void resolve_final_path(u16* destination, const u16* source, uint32_t capacity, bool resolve);

// Replaces the directory part (up to the last backslash) by its short form
// and keeps the file-name part. Failures end the process abnormally.
void shorten_directory_part(u16* path, size_t capacity);

// Turns the module path in `path` into an executable identity, in place.
void make_executable_identity(u16* path, size_t capacity);

// The same for another process's executable, which may have been deleted or
// replaced since that process started: false, with `path` unchanged, when the
// file cannot be opened; every other failure still ends the process.
bool try_make_executable_identity(u16* path, size_t capacity);
#endif
