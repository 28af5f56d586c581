// Replays the extraction's directory work for a list of entry names, natively
// and without a file system: make_target_path and ensure_parent_directories
// against a simulated volume, as the parent runs them for each entry. It
// counts the directory calls the cache lets through and times the cache, so
// callgrind and perf can look at the platform-free half of extraction alone.
//
// Usage: cache_walk NAMES_FILE [ROUNDS]  (one entry name per line, "\" as
// separator, in archive order)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "payload/extraction.h"
#include "platform/bounded_buffer.h"

namespace {

const std::u16string RUN_DIRECTORY = u"C:\\users\\root\\Temp\\onefile_1234_133611111111111111";
const std::u16string HOME = u"C:\\users\\root";

std::set<std::u16string> volume;  // directories that exist
long calls_made = 0, calls_existing = 0, calls_missing_parent = 0;

uint32_t simulated_create_directory(const u16* path) {
    std::u16string directory(path);
    ++calls_made;
    if (volume.count(directory)) {
        ++calls_existing;
        return ERROR_CODE_ALREADY_EXISTS;
    }
    size_t cut = directory.rfind(u'\\');
    if (cut != std::u16string::npos && !volume.count(directory.substr(0, cut))) {
        ++calls_missing_parent;
        return 3;  // ERROR_PATH_NOT_FOUND
    }
    volume.insert(directory);
    return 0;
}

bool simulated_expand_home(u16* out, size_t capacity) {
    if (HOME.size() + 1 > capacity) return false;
    for (size_t i = 0; i <= HOME.size(); ++i) out[i] = HOME.c_str()[i];
    return true;
}

[[noreturn]] void home_failed() { std::abort(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cache_walk NAMES_FILE [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    std::vector<std::u16string> names;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);)
        names.emplace_back(line.begin(), line.end());  // names are ASCII

    const directory_operations ops = {simulated_create_directory, simulated_expand_home,
                                      home_failed, nullptr};
    static u16 target_path[TARGET_PATH_CAPACITY];
    static u16 first_entry_path[FIRST_ENTRY_PATH_CAPACITY];
    double seconds = 0;
    int32_t cached = 0;
    for (int round = 0; round < rounds; ++round) {
        volume = {u"C:", u"C:\\users", HOME, u"C:\\users\\root\\Temp"};
        calls_made = calls_existing = calls_missing_parent = 0;
        static directory_cache cache;
        for (int32_t i = 0; i < cache.count; ++i) std::free(cache.paths[i]);
        cache.count = 0;
        first_entry_path[0] = 0;
        auto start = std::chrono::steady_clock::now();
        for (const auto& name : names) {
            make_target_path(target_path, RUN_DIRECTORY.c_str(), name.c_str(), first_entry_path);
            ensure_parent_directories(cache, ops, target_path);
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cached = cache.count;
    }
    std::printf("entries %zu, directories on the volume %zu, cache entries %d\n"
                "CreateDirectoryW calls %ld: %ld already existing, %ld parent missing\n"
                "time per extraction (simulated volume included) %.2f ms\n",
                names.size(), volume.size(), cached, calls_made, calls_existing,
                calls_missing_parent, seconds / rounds * 1000);
    return 0;
}
