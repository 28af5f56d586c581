// Platform-free rules of the start-up sweep: run directory names, the owner
// judgement and path building. No Win32 calls here.
#include "launcher/leftover_rules.h"

bool parse_run_directory_name(const run_directory_pattern& pattern, const u16* name,
                              run_directory_name& parsed) {
    matched_run_directory_name matched;
    if (!match_run_directory_name(pattern, name, matched)) return false;
    parsed.parent = matched.parent;
    parsed.start = matched.start;
    parsed.base_length = matched.base_length;
    parsed.swept = u16_equal(matched.rest, SWEEP_SUFFIX);
    parsed.lock = u16_equal(matched.rest, LOCK_FILE_SUFFIX);
    return matched.rest[0] == 0 || parsed.swept || parsed.lock;
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


bool lock_file_name(u16* out, size_t capacity, const u16* name, size_t length) {
    size_t suffix = u16_length(LOCK_FILE_SUFFIX);
    if (length + suffix + 1 > capacity) return false;
    for (size_t index = 0; index < length; ++index) out[index] = name[index];
    for (size_t index = 0; index <= suffix; ++index) out[length + index] = LOCK_FILE_SUFFIX[index];
    return true;
}
