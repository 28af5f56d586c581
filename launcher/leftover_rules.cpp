// Platform-free rules of the start-up sweep: run directory names, the owner
// judgement and path building. No Win32 calls here.
#include "launcher/leftover_rules.h"

namespace {

bool is_digit(u16 unit) { return unit >= U16('0') && unit <= U16('9'); }

// Digits at `at`, at least one, into `value` not above `limit`; advances.
bool read_number(const u16*& at, uint64_t limit, uint64_t& value) {
    if (!is_digit(*at)) return false;
    value = 0;
    for (; is_digit(*at); ++at) {
        uint64_t digit = static_cast<uint64_t>(*at - U16('0'));
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool starts_with(const u16* text, const u16* prefix, size_t& length) {
    length = 0;
    for (; prefix[length] != 0; ++length)
        if (text[length] != prefix[length]) return false;
    return true;
}

}  // namespace

bool parse_run_directory_name(const u16* name, run_directory_name& parsed) {
    size_t length = 0;
    if (!starts_with(name, RUN_DIRECTORY_PREFIX, length)) return false;
    const u16* at = name + length;
    uint64_t parent = 0, start = 0;
    if (!read_number(at, UINT32_MAX, parent)) return false;
    if (*at++ != U16('_')) return false;
    if (!read_number(at, INT64_MAX, start)) return false;
    parsed.parent = static_cast<uint32_t>(parent);
    parsed.start = start;
    parsed.swept = false;
    if (*at == 0) return true;
    if (!starts_with(at, SWEEP_SUFFIX, length) || at[length] != 0) return false;
    parsed.swept = true;
    return true;
}

owner_state judge_owner(const run_directory_name& name, const owner_query& query) {
    if (name.parent == 0) return owner_state::doubtful;
    if (!query.opened)
        return query.open_error == ERROR_INVALID_PARAMETER_CODE ? owner_state::gone
                                                                : owner_state::doubtful;
    if (!query.times_read) return owner_state::doubtful;
    if (query.exited != 0) return owner_state::gone;
    // The parent takes START after it was created, so its own creation time
    // is never later than START; a later one belongs to a newer process.
    return query.created > name.start ? owner_state::gone : owner_state::alive;
}

size_t folder_length(const u16* run_directory) {
    size_t last = 0;
    bool found = false;
    for (size_t index = 0; run_directory[index] != 0; ++index)
        if (run_directory[index] == U16('\\')) {
            last = index;
            found = true;
        }
    return found ? last : 0;
}

bool make_long_path(u16* out, size_t capacity, const u16* full) {
    const u16* rest = full;
    const u16* prefix = U16("");
    size_t skip = 0;
    if (starts_with(full, U16("\\\\?\\"), skip)) {
        prefix = U16("");
    } else if (starts_with(full, U16("\\\\"), skip)) {
        prefix = U16("\\\\?\\UNC\\");
        rest = full + 2;
    } else if (((full[0] >= U16('A') && full[0] <= U16('Z')) ||
                (full[0] >= U16('a') && full[0] <= U16('z'))) &&
               full[1] == U16(':') && full[2] == U16('\\')) {
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
    if (length + 1 + name_length + 1 > capacity) return false;
    path[length] = U16('\\');
    for (size_t index = 0; index <= name_length; ++index) path[length + 1 + index] = name[index];
    return true;
}

void remove_component(u16* path, size_t floor) {
    size_t length = u16_length(path);
    while (length > floor && path[length - 1] != U16('\\')) --length;
    if (length > floor) --length;  // the backslash itself
    path[length] = 0;
}
