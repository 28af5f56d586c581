// The platform-free half of executable identity: removing the long-path
// prefixes that the final-path lookup puts in front. No Win32 calls here.
#include "platform/executable_identity.h"

namespace {

constexpr u16 LONG_PATH_PREFIX[] = U16("\\\\?\\");
constexpr u16 NETWORK_PATH_PREFIX[] = U16("\\\\?\\UNC\\");
constexpr size_t LONG_PATH_PREFIX_LENGTH = 4;
// "\\?\UNC\server" keeps "C\server" from here on; its first unit then
// becomes the second backslash of "\\server".
constexpr size_t NETWORK_PATH_KEPT_FROM = 6;

bool starts_with(const u16* text, const u16* prefix) {
    for (; *prefix != 0; ++text, ++prefix) {
        if (*text != *prefix) return false;  // also stops at text's terminator
    }
    return true;
}

}  // namespace

void strip_long_path_prefix(u16* result, const u16* source, size_t capacity) {
    if (starts_with(result, LONG_PATH_PREFIX)) {
        const u16* rest = result + LONG_PATH_PREFIX_LENGTH;
        // A volume named by its identifier ("\\?\Volume{...}\") has no drive
        // colon and must keep the prefix to stay usable.
        bool drive_letter = rest[0] != 0 && rest[1] == U16(':');
        if (drive_letter || u16_equal(rest, source)) bounded_copy(result, rest, capacity);
    }
    if (starts_with(result, NETWORK_PATH_PREFIX)) {
        bounded_copy(result, result + NETWORK_PATH_KEPT_FROM, capacity);
        result[0] = U16('\\');
    }
}
