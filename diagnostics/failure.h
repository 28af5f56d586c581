// Failure reporting: every message the launcher can write, the stream it goes
// to (or the box, when no stream reaches anyone) and how the process ends. Only the messages live here; callers decide
// when to fail.
#pragma once
#include <cstdint>

#include "format/shared_names.h"
#include "format/units.h"

// Message texts, written exactly as they stand.
constexpr char MESSAGE_SIGNAL_HANDLER[] = "Error, failed to register signal handler.";
constexpr char MESSAGE_NO_HEADER[] = "Error, couldn't find attached data header.";
constexpr char MESSAGE_LOAD_DLL[] = "Error, load DLL.";
constexpr char MESSAGE_NO_ENTRY_POINT[] = "Error, DLL entry point not found.";
constexpr char MESSAGE_UNPACK_WRITE[] = "Error, couldn't unpack file to target path.";
constexpr char MESSAGE_LAUNCH_CHILD[] = "Error, couldn't launch child";
constexpr char FORMAT_OPEN_TARGET[] = "Error, failed to open '%s' for writing.\n";
constexpr char FORMAT_EXPAND_TEMPLATE[] = "Error, couldn't runtime expand spec '%s'.\n";
// Our own additions for archives the loader cannot walk safely.
constexpr char MESSAGE_NO_PAYLOAD[] = "Error, couldn't find attached data.";
constexpr char MESSAGE_DAMAGED_PAYLOAD[] = "Error, attached data is damaged.";
// A compressed entry that does not decode to what the archive says.
constexpr char FORMAT_DAMAGED_ENTRY[] = "Error, attached data is damaged: couldn't unpack '%s'.\n";
constexpr char MESSAGE_NO_APPLICATION[] = "Error, attached data holds no application library.";
// The line after "Error, load DLL." (and the second sentence of the failure
// box) for a library that could not be found, and the same words in
// onefile-pack info's list of missing imports.
constexpr char FORMAT_MISSING_IMPORT[] = "The library %s, imported by %s, could not be found.";

// FAILURE_EXIT_STATUS (format/shared_names.h) ends every reported failure.

// Narrow form of a wide path for the two "%ls" messages: ASCII units pass
// unchanged, every other unit becomes '?', so the line is always complete
// whatever the console's code page. Writes at most `capacity` bytes with the
// terminator. Platform-free.
void narrow_for_message(const u16* text, char* out, size_t capacity);

#ifdef _WIN32
// "%s ([Error %ld] %s)\n" on standard error with the system's English text.
void print_system_error(const char* text, uint32_t code);

[[noreturn]] void fail_with_message(const char* text);
[[noreturn]] void fail_with_system_error(const char* text, uint32_t code);
// "Error, load DLL." with the system error, and on a line of its own (and
// in the box shown when no stream reaches anyone) the library that could not
// be found, when it can be told (`directory`: the folder the application
// library's imports are looked for in first).
[[noreturn]] void fail_load_library(uint32_t code, const u16* library_path, const u16* directory);
// "The library X, imported by Y, could not be found." for the first import
// of the library at `library_path`, or of a library beside it, that neither
// lies in `directory` nor is found by the
// loader's search (never the launcher's own folder); false when all are there.
bool describe_missing_import(const u16* library_path, const u16* directory, char* sentence,
                             size_t capacity);
[[noreturn]] void fail_no_payload_header();
[[noreturn]] void fail_unpack_write();
[[noreturn]] void fail_launch_child(uint32_t code);
[[noreturn]] void fail_open_target(const u16* target_path);
[[noreturn]] void fail_damaged_entry(const u16* entry_name);
[[noreturn]] void fail_expand_template(const u16* path_template);
#endif
