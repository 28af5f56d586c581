// The build stamp of a cache-template pack: of two builds of one version,
// the launcher lets the one with the later stamp keep the cache. Taken from
// the inputs (or SOURCE_DATE_EPOCH), never from the clock or from the packed
// file's own time, which a copy or a `touch` changes.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "branding.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace pack {

namespace {

// FILETIME counts 100-ns ticks from 1601; Unix time seconds from 1970.
constexpr uint64_t UNIX_EPOCH_SECONDS = 11644473600;
constexpr uint64_t TICKS_PER_SECOND = 10000000;
// The last second whose count still fits in 63 bits.
constexpr uint64_t MAX_UNIX_SECONDS = (UINT64_C(1) << 63) / TICKS_PER_SECOND - UNIX_EPOCH_SECONDS;

// A file's last write as a FILETIME count; 0 when it cannot be read.
uint64_t last_write(const fs::path& path) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
#else
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || status.st_mtim.tv_sec < 0 ||
        static_cast<uint64_t>(status.st_mtim.tv_sec) > MAX_UNIX_SECONDS)
        return 0;
    return (static_cast<uint64_t>(status.st_mtim.tv_sec) + UNIX_EPOCH_SECONDS) * TICKS_PER_SECOND +
           static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100;
#endif
}

}  // namespace

uint64_t build_stamp(const fs::path& stub, const std::vector<app_entry>& entries) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && *epoch != 0) {
        uint64_t seconds = 0;
        for (const char* digit = epoch; *digit != 0; ++digit) {
            if (*digit < '0' || *digit > '9' || seconds > MAX_UNIX_SECONDS)
                throw pack_error(std::string("SOURCE_DATE_EPOCH '") + epoch + "' is not a number of seconds");
            seconds = seconds * 10 + static_cast<uint64_t>(*digit - '0');
        }
        if (seconds > MAX_UNIX_SECONDS)
            throw pack_error(std::string("SOURCE_DATE_EPOCH '") + epoch + "' is not a number of seconds");
        return (seconds + UNIX_EPOCH_SECONDS) * TICKS_PER_SECOND;
    }
    uint64_t newest = last_write(stub);
    for (const app_entry& entry : entries)
        if (!entry.source.empty()) newest = std::max(newest, last_write(entry.source));
    return newest;
}

std::string describe_build_stamp(uint64_t stamp) {
    std::time_t seconds = static_cast<std::time_t>(stamp / TICKS_PER_SECOND) - static_cast<std::time_t>(UNIX_EPOCH_SECONDS);
    const std::tm* utc = stamp / TICKS_PER_SECOND >= UNIX_EPOCH_SECONDS ? std::gmtime(&seconds) : nullptr;
    char text[32];
    if (utc == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc) == 0)
        return std::to_string(stamp);
    return text;
}

}  // namespace pack
