// The child's command line: the parent's arguments with argument 0 replaced
// by the own module path, quoted so that CommandLineToArgvW splits it back.
#pragma once
#include "platform/bounded_buffer.h"

// Appends one argument by the quoting rule: an argument with a space, tab,
// line feed, vertical tab or double quote is quoted, backslashes doubled only
// before a quote; the empty argument is written as "" so that it survives.
// Platform-free.
void append_argument(bounded_buffer& line, const u16* argument);

// Joins `module_path` and arguments[1..count-1] with single spaces.
// Platform-free.
void join_command_line(bounded_buffer& line, const u16* module_path, int count,
                       const u16* const* arguments);

#ifdef _WIN32
// Splits GetCommandLineW with CommandLineToArgvW and joins it again with the
// own module path (filled here when empty, GetModuleFileNameW, capacity 4096)
// first. Returns the static child command-line buffer (32768 units).
u16* build_child_command_line(u16* own_module_path);
#endif
