// --compress: its level, checked, and the words list and info use for a
// compressed payload. The form itself is written by format/archive_writer.cpp.
#include <cstdio>

#include "pack.h"

namespace pack {

int checked_compression_level(const std::string& text) {
    size_t used = 0;
    int level = 0;
    try {
        level = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || level < MIN_COMPRESSION_LEVEL || level > MAX_COMPRESSION_LEVEL)
        throw option_error("--compress", "level '" + text + "' is not a number from " +
                                             std::to_string(MIN_COMPRESSION_LEVEL) + " to " +
                                             std::to_string(MAX_COMPRESSION_LEVEL));
    return level;
}

std::string describe_compression(uint64_t packed, uint64_t size) {
    char ratio[32] = "-";
    if (size != 0) std::snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(packed) / static_cast<double>(size));
    return "compressed to " + std::to_string(packed) + " bytes (" + ratio + " of it)";
}

}  // namespace pack
