// Path building for the tree deleter and the sweep. Platform-free; no Win32
// calls here.
#include "platform/tree_paths.h"

namespace {

bool starts_with(const u16* text, const u16* prefix) {
    for (size_t index = 0; prefix[index] != 0; ++index)
        if (text[index] != prefix[index]) return false;
    return true;
}

bool is_drive_letter(u16 unit) {
    return (unit >= U16('A') && unit <= U16('Z')) || (unit >= U16('a') && unit <= U16('z'));
}

}  // namespace

bool make_long_path(u16* out, size_t capacity, const u16* full) {
    const u16* rest = full;
    const u16* prefix = U16("");
    if (starts_with(full, U16("\\\\?\\"))) {
        prefix = U16("");
    } else if (starts_with(full, U16("\\\\"))) {
        prefix = U16("\\\\?\\UNC\\");
        rest = full + 2;
    } else if (is_drive_letter(full[0]) && full[1] == U16(':') && full[2] == U16('\\')) {
        prefix = U16("\\\\?\\");
    } else {
        return false;
    }
    size_t prefix_length = u16_length(prefix);
    size_t rest_length = u16_length(rest);
    if (prefix_length + rest_length + 1 > capacity) return false;
    for (size_t index = 0; index < prefix_length; ++index) out[index] = prefix[index];
    for (size_t index = 0; index <= rest_length; ++index) out[prefix_length + index] = rest[index];
    return true;
}

bool append_component(u16* path, size_t capacity, const u16* name) {
    size_t length = u16_length(path);
    size_t name_length = u16_length(name);
    bool separator = length == 0 || path[length - 1] != U16('\\');
    if (length + (separator ? 1 : 0) + name_length + 1 > capacity) return false;
    if (separator) path[length++] = U16('\\');
    for (size_t index = 0; index <= name_length; ++index) path[length + index] = name[index];
    return true;
}

void remove_component(u16* path, size_t floor) {
    size_t length = u16_length(path);
    while (length > floor && path[length - 1] != U16('\\')) --length;
    // The backslash itself, unless it is a root's own ("R:\", "\??\R:\").
    if (length > floor && !(length >= 3 && path[length - 2] == U16(':'))) --length;
    path[length] = 0;
}

size_t folder_length(const u16* path) {
    size_t last = 0;
    bool found = false;
    for (size_t index = 0; path[index] != 0; ++index)
        if (path[index] == U16('\\')) {
            last = index;
            found = true;
        }
    if (!found) return 0;
    // "R:\name": the folder is "R:\"; "R:" alone is R's current directory.
    if (last >= 1 && path[last - 1] == U16(':')) return last + 1;
    return last;
}
