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
    parsed.lock = false;
    if (*at == 0) return true;
    if (starts_with(at, SWEEP_SUFFIX, length) && at[length] == 0) {
        parsed.swept = true;
        return true;
    }
    if (starts_with(at, LOCK_FILE_SUFFIX, length) && at[length] == 0) {
        parsed.lock = true;
        return true;
    }
    return false;
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

