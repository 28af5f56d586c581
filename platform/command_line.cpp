// Quoting and joining of the child's command line by the rules that
// CommandLineToArgvW splits with. Platform-free.
#include "platform/command_line.h"

namespace {

bool is_special(u16 unit) {
    return unit == U16(' ') || unit == U16('\t') || unit == U16('\n') || unit == U16('\v') ||
           unit == U16('"');
}

bool needs_quotes(const u16* argument) {
    // Unquoted, an empty argument would vanish from the child's split.
    if (argument[0] == 0) return true;
    for (; *argument != 0; ++argument) {
        if (is_special(*argument)) return true;
    }
    return false;
}

void append_backslashes(bounded_buffer& line, size_t count) {
    for (size_t i = 0; i < count; ++i) line.append_unit(U16('\\'));
}

}  // namespace

void append_argument(bounded_buffer& line, const u16* argument) {
    if (!needs_quotes(argument)) {
        line.append(argument);
        return;
    }
    line.append_unit(U16('"'));
    const u16* at = argument;
    for (;;) {
        size_t backslashes = 0;
        while (at[backslashes] == U16('\\')) ++backslashes;
        u16 next = at[backslashes];
        if (next == 0) {
            // The closing quote must not be escaped by the argument's own
            // trailing backslashes.
            append_backslashes(line, 2 * backslashes);
            line.append_unit(U16('"'));
            return;
        }
        if (next == U16('"')) {
            append_backslashes(line, 2 * backslashes + 1);
        } else {
            append_backslashes(line, backslashes);
        }
        line.append_unit(next);
        at += backslashes + 1;
    }
}

void join_command_line(bounded_buffer& line, const u16* module_path, int count,
                       const u16* const* arguments) {
    // The module path stands first even when the split gave no entries.
    append_argument(line, module_path);
    for (int i = 1; i < count; ++i) {
        line.append_unit(U16(' '));
        append_argument(line, arguments[i]);
    }
}
