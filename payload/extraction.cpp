// The extraction writer's platform-free half: target paths, the directory
// cache and the parent-directory walk. System calls arrive through
// `directory_operations`; nothing here calls Win32.
#include "payload/extraction.h"

#include <cstdlib>

#include "platform/bounded_buffer.h"
#include "platform/end_abnormally.h"

namespace {

constexpr size_t WALK_PATH_CAPACITY = 4096;
constexpr u16 SEPARATOR = U16('\\');

// A heap copy of `path`, or nullptr when the allocation fails.
u16* copy_path(const directory_operations& ops, const u16* path) {
    size_t units = u16_length(path) + 1;
    void* memory = ops.allocate ? ops.allocate(units * sizeof(u16))
                                : std::malloc(units * sizeof(u16));
    if (memory == nullptr) return nullptr;
    u16* copy = static_cast<u16*>(memory);
    bounded_copy(copy, path, units);
    return copy;
}

// Stores a copy while there is room; a failed copy leaves the path unrecorded,
// so it is never compared.
void record_directory(directory_cache& cache, const directory_operations& ops,
                      const u16* directory) {
    if (cache.count < 0 || static_cast<size_t>(cache.count) >= DIRECTORY_CACHE_CAPACITY) return;
    u16* copy = copy_path(ops, directory);
    if (copy == nullptr) return;
    cache.lengths[cache.count] = u16_length(copy);
    cache.paths[cache.count++] = copy;
}

void seed_with_profile_directory(directory_cache& cache, const directory_operations& ops) {
    u16 home[WALK_PATH_CAPACITY];
    if (!ops.expand_home(home, WALK_PATH_CAPACITY)) ops.home_failed();
    record_directory(cache, ops, home);
}

// The same answer as comparing each cached path unit by unit in insertion
// order. Paths below the run directory share its long prefix, so equal
// lengths are compared from the end, where they differ.
bool is_cached(const directory_cache& cache, const u16* directory) {
    size_t length = u16_length(directory);
    for (int32_t i = 0; i < cache.count; ++i) {
        if (cache.lengths[i] != length) continue;
        const u16* cached = cache.paths[i];
        size_t at = length;
        while (at > 0 && cached[at - 1] == directory[at - 1]) --at;
        if (at == 0) return true;
    }
    return false;
}

// Index of the last "\" at index 1 or above, or 0 when there is none; index 0
// is never looked at, so a lone leading "\" names no parent.
size_t last_separator(const u16* path, size_t length) {
    for (size_t i = length; i-- > 1;) {
        if (path[i] == SEPARATOR) return i;
    }
    return 0;
}

}  // namespace

void make_target_path(u16* target_path, const u16* run_directory, const u16* entry_name,
                      u16* first_entry_path) {
    bounded_buffer target = bounded_buffer::cleared(target_path, TARGET_PATH_CAPACITY);
    target.append(run_directory);
    target.append_unit(SEPARATOR);
    target.append(entry_name);
    if (first_entry_path[0] == 0) bounded_copy(first_entry_path, target_path, FIRST_ENTRY_PATH_CAPACITY);
}

bool create_directory_cached(directory_cache& cache, const directory_operations& ops,
                             const u16* directory) {
    if (cache.count == 0) seed_with_profile_directory(cache, ops);
    if (is_cached(cache, directory)) return true;
    // A drive such as "C:" always exists; CreateDirectoryW would refuse it.
    if (directory[0] != 0 && directory[1] == U16(':') && directory[2] == 0) return true;
    uint32_t error = ops.create_directory(directory);
    if (error != 0 && error != ERROR_CODE_ALREADY_EXISTS) return false;
    record_directory(cache, ops, directory);
    return true;
}

void remember_directory(directory_cache& cache, const directory_operations& ops,
                        const u16* directory) {
    if (cache.count == 0) seed_with_profile_directory(cache, ops);
    if (!is_cached(cache, directory)) record_directory(cache, ops, directory);
}

// The walk is the recursive one made iterative, with one path buffer instead
// of one per level: going up, each level's directory is tried once, and its
// "\" is replaced by the terminator; the first level that exists (or the top,
// which has no parent) turns the walk round; coming down, each "\" is put
// back and that level is tried a second time, parents before children. The
// calls to create_directory_cached are the same, in the same order.
bool ensure_parent_directories(directory_cache& cache, const directory_operations& ops,
                               const u16* path) {
    if (path == nullptr) end_abnormally();
    u16 directory[WALK_PATH_CAPACITY];
    bounded_copy(directory, path, WALK_PATH_CAPACITY);

    size_t cut = last_separator(directory, u16_length(directory));
    if (cut == 0) return true;
    directory[cut] = 0;

    // Up: stop at a directory that exists, or where no parent remains.
    size_t levels_missing = 0;
    for (;;) {
        if (create_directory_cached(cache, ops, directory)) {
            if (levels_missing == 0) return true;
            break;
        }
        ++levels_missing;
        size_t parent_cut = last_separator(directory, cut);
        if (parent_cut == 0) {
            // The topmost directory has no parent to make: the recursion's
            // innermost level returns true here and its caller tries again.
            bool made = create_directory_cached(cache, ops, directory);
            if (levels_missing == 1) return made;
            --levels_missing;
            break;
        }
        directory[parent_cut] = 0;
        cut = parent_cut;
    }

    // Down: the cut at `cut` belongs to the level that exists; restore each
    // level below it and try it again.
    bool made = false;
    while (levels_missing > 0) {
        directory[cut] = SEPARATOR;
        cut = u16_length(directory);
        made = create_directory_cached(cache, ops, directory);
        --levels_missing;
    }
    return made;
}
