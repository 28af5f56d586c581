// The start-up sweep: a parent deletes, on a thread of its own and at
// background priority, the run directories of launchers that are gone and
// that nobody holds, together with their lock files. It lists the folder
// through a handle and works on each candidate through handles opened
// relative to it; the trees themselves go through the tree deleter. Win32
// calls go through the `win32` table; the rules are in leftover_rules.cpp.
// Silent: nothing is reported.
#include <atomic>
#include <initializer_list>

#include "format/shared_names.h"
#include "launcher/launcher.h"
#include "launcher/leftover_rules.h"
#include "launcher/ownership.h"
#include "platform/directory_listing.h"
#include "platform/private_directory.h"
#include "platform/tree_deleter.h"

namespace {

constexpr size_t OWN_PATH_CAPACITY = 32768;
// Trees removed per start; trees that stay (a link in them, something in
// use) take no place, so they never crowd out the leftovers behind them.
constexpr int SWEEP_MAX_TREES = 64;
// After the child has ended, the exit waits at most this long for the
// sweep, then tells it to stop and gives it SWEEP_STOP_MS more; what is left
// keeps its ".swept" name for a later start.
constexpr DWORD SWEEP_GRACE_MS = 80;
constexpr DWORD SWEEP_STOP_MS = 20;
// Owners judged once per start, by process id: a folder full of one live
// launcher's directories costs one query, not one each.
constexpr int OWNER_CACHE_SIZE = 64;
constexpr ULONG LISTING_BYTES = 65536;
// A candidate is opened with delete access and without delete sharing:
// refused while a launcher holds it (its hold shares no deletion), and it
// keeps new holds and other sweeps out while it is open.
constexpr DWORD CLAIM_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Caches of other payloads looked at per start; one is kept.
constexpr int OLD_CACHES_LISTED = 16;
struct old_cache {
    u16 name[COMPONENT_NAME_CAPACITY];
    uint64_t created;
};

struct owner_entry {
    uint32_t parent;
    owner_query query;
};

// One sweep per process, on one thread: static, not on its stack.
struct sweep_state {
    u16 folder_path[RUN_DIRECTORY_CAPACITY];
    u16 own_path[OWN_PATH_CAPACITY];  // the folder's own path (tree_deleter.h)
    u16 name[COMPONENT_NAME_CAPACITY];
    u16 other[COMPONENT_NAME_CAPACITY + 8];
    alignas(8) unsigned char listing[LISTING_BYTES];
    owner_entry owners[OWNER_CACHE_SIZE];
    run_directory_pattern pattern;  // the names the run-directory template gives
    // Beside a cache: the other caches of ours found in its folder, pruned
    // after the listing to the newest one.
    bool pruning;
    old_cache old_caches[OLD_CACHES_LISTED];
    int old_cache_count;
    int owner_count;
    int removed;
    bool paced;  // the system refused background mode: pace instead
};
sweep_state sweep;
std::atomic<bool> sweep_stop{false};
HANDLE sweep_thread = nullptr;

bool stopping() { return sweep_stop.load(); }

owner_query query_owner(uint32_t parent) {
    for (int index = 0; index < sweep.owner_count; ++index)
        if (sweep.owners[index].parent == parent) return sweep.owners[index].query;
    owner_query query = {};
    HANDLE process = win32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    if (process == nullptr) {
        query.open_error = GetLastError();
    } else {
        query.opened = true;
        FILETIME created = {}, exited = {}, kernel, user;
        query.times_read = win32.GetProcessTimes(process, &created, &exited, &kernel, &user) != FALSE;
        query.created = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        query.exited = (static_cast<uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
        win32.CloseHandle(process);
    }
    owner_entry& slot = sweep.owners[sweep.owner_count < OWNER_CACHE_SIZE
                                         ? sweep.owner_count++
                                         : static_cast<int>(parent % OWNER_CACHE_SIZE)];
    slot = {parent, query};
    return query;
}

// `base` (the run directory's name) followed by `suffix`, into sweep.other.
const u16* name_with(const u16* base, size_t base_length, const u16* suffix) {
    size_t index = 0;
    for (; index < base_length && index < COMPONENT_NAME_CAPACITY; ++index) sweep.other[index] = base[index];
    for (size_t at = 0; suffix[at] != 0; ++at) sweep.other[index++] = suffix[at];
    sweep.other[index] = 0;
    return sweep.other;
}

void close_valid(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) win32.CloseHandle(handle);
}

// The lock file of the directory `base` (its first `base_length` units),
// claimed as claim_lock_file says.
HANDLE claim_lock_file_of(HANDLE folder, const u16* base, size_t base_length, bool& free,
                          int64_t& index) {
    return claim_lock_file(folder, sweep.own_path, name_with(base, base_length, LOCK_FILE_SUFFIX),
                           free, index);
}

// Leftovers are ours only by the rule: a run directory carrying its lock
// mark, or (beside a cache) a staging directory or retired cache carrying
// this application's cache mark.
bool sweepable(const ownership_verdict& verdict) {
    return verdict.how == ownership::run_directory ||
           (verdict.how == ownership::cache && same_application(verdict.mark));
}

// A directory candidate whose owner is gone: claim it, rename it, delete it.
void sweep_directory(HANDLE folder, const run_directory_name& parsed, size_t base_length) {
    bool lock_free = false;
    int64_t lock_index = 0;
    HANDLE lock = claim_lock_file_of(folder, sweep.name, base_length, lock_free, lock_index);
    if (!lock_free) return;
    opened_entry entry = entry_open(folder, sweep.own_path, sweep.name, OWNERSHIP_ACCESS, SHARE_ALL);
    bool ours = sweepable(judge_ownership(folder, sweep.own_path, sweep.name, base_length, entry));
    HANDLE claim = ours ? entry_reopen(entry, sweep.own_path, sweep.name, DELETE, CLAIM_SHARING)
                        : INVALID_HANDLE_VALUE;
    close_valid(entry.handle);
    const u16* swept_name = parsed.swept ? sweep.name
                                         : name_with(sweep.name, base_length, SWEEP_SUFFIX);
    bool renamed = claim != INVALID_HANDLE_VALUE &&
                   (parsed.swept || rename_held_directory(claim, sweep.folder_path, swept_name));
    // Closed before the walk: its delete access would refuse the deleter's
    // own second handle. Once renamed, no launcher uses the name again.
    close_valid(claim);
    if (renamed) {
        tree_deletion result = delete_tree(folder, swept_name, entry.index, &sweep_stop);
        if (result.removed) ++sweep.removed;
        if (result.removed && lock != INVALID_HANDLE_VALUE)
            delete_file_entry(folder, name_with(sweep.name, base_length, LOCK_FILE_SUFFIX), lock_index);
    }
    close_valid(lock);
}

// A lock file whose directory is gone (its parent ended between the two
// deletions): deleted once nobody holds it, when it carries the lock mark.
void sweep_lock_file(HANDLE folder, size_t base_length) {
    for (const u16* suffix : {U16(""), SWEEP_SUFFIX}) {
        opened_entry directory = entry_open(folder, sweep.own_path,
                                            name_with(sweep.name, base_length, suffix), 0, SHARE_ALL);
        close_valid(directory.handle);
        if (directory.kind != entry_kind::gone) return;  // swept with its directory
    }
    bool free = false;
    int64_t index = 0;
    HANDLE lock = claim_lock_file_of(folder, sweep.name, base_length, free, index);
    if (lock != INVALID_HANDLE_VALUE) {
        if (lock_file_marked(lock)) delete_file_entry(folder, sweep.name, index);
        win32.CloseHandle(lock);
    }
}

void consider(HANDLE folder, const u16* own_name) {
    run_directory_name parsed;
    if (u16_equal(sweep.name, own_name) ||
        !parse_run_directory_name(sweep.pattern, sweep.name, parsed))
        return;
    if (judge_owner(parsed, query_owner(parsed.parent)) != owner_state::gone) return;
    size_t base_length = parsed.base_length;
    if (parsed.lock)
        sweep_lock_file(folder, base_length);
    else
        sweep_directory(folder, parsed, base_length);
}

// A directory beside the cache that carries this application's cache
// mark: one of its older caches (and only such a directory is removed).
void note_old_cache(HANDLE folder, const u16* own_name, const directory_record& record) {
    if ((record.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || u16_equal(sweep.name, own_name)) return;
    // A staging directory is a start's own until it is renamed into place.
    run_directory_name staging;
    if (parse_run_directory_name(sweep.pattern, sweep.name, staging)) return;
    opened_entry entry = entry_open(folder, sweep.own_path, sweep.name, OWNERSHIP_ACCESS, SHARE_ALL);
    ownership_verdict verdict =
        judge_ownership(folder, sweep.own_path, sweep.name, u16_length(sweep.name), entry);
    close_valid(entry.handle);
    if (verdict.how != ownership::cache || !same_application(verdict.mark)) return;
    int slot = sweep.old_cache_count < OLD_CACHES_LISTED ? sweep.old_cache_count++ : -1;
    uint64_t created = static_cast<uint64_t>(record.times[0].QuadPart);
    if (slot < 0) {
        // Full: the oldest listed gives way (it is removed next time).
        slot = 0;
        for (int index = 1; index < OLD_CACHES_LISTED; ++index)
            if (sweep.old_caches[index].created < sweep.old_caches[slot].created) slot = index;
        if (sweep.old_caches[slot].created > created) return;
    }
    bounded_copy(sweep.old_caches[slot].name, sweep.name, COMPONENT_NAME_CAPACITY);
    sweep.old_caches[slot].created = created;
}

// All but the newest other cache go, each when nobody holds it and it is
// still this application's: claimed like a leftover, renamed to a staging
// name of this start (which a later start finishes if this one is stopped),
// deleted, then its lock file.
void prune_old_caches(HANDLE folder, const u16* own_name) {
    int newest = -1;
    for (int index = 0; index < sweep.old_cache_count; ++index)
        if (newest < 0 || sweep.old_caches[index].created > sweep.old_caches[newest].created) newest = index;
    for (int index = 0; index < sweep.old_cache_count && !stopping(); ++index) {
        if (index == newest) continue;
        const u16* name = sweep.old_caches[index].name;
        size_t length = u16_length(name);
        bool lock_free = false;
        int64_t lock_index = 0;
        HANDLE lock = claim_lock_file_of(folder, name, length, lock_free, lock_index);
        if (!lock_free) continue;
        opened_entry entry = entry_open(folder, sweep.own_path, name, OWNERSHIP_ACCESS, SHARE_ALL);
        ownership_verdict verdict = judge_ownership(folder, sweep.own_path, name, length, entry);
        HANDLE claim = verdict.how == ownership::cache && same_application(verdict.mark)
                           ? entry_reopen(entry, sweep.own_path, name, DELETE, CLAIM_SHARING)
                           : INVALID_HANDLE_VALUE;
        close_valid(entry.handle);
        u16 retired[COMPONENT_NAME_CAPACITY + 64];
        bool renamed = claim != INVALID_HANDLE_VALUE &&
                       cache_staging_name(retired, COMPONENT_NAME_CAPACITY + 56, own_name, 2 + static_cast<uint64_t>(index)) &&
                       u16_length(retired) + u16_length(SWEEP_SUFFIX) < COMPONENT_NAME_CAPACITY + 64;
        if (renamed) {
            size_t at = u16_length(retired);
            for (size_t unit = 0; SWEEP_SUFFIX[unit] != 0; ++unit) retired[at++] = SWEEP_SUFFIX[unit];
            retired[at] = 0;
            renamed = rename_held_directory(claim, sweep.folder_path, retired);
        }
        close_valid(claim);
        if (renamed && delete_tree(folder, retired, entry.index, &sweep_stop).removed &&
            lock != INVALID_HANDLE_VALUE)
            delete_file_entry(folder, name_with(name, length, LOCK_FILE_SUFFIX), lock_index);
        close_valid(lock);
    }
}

// Background mode lowers the thread's processor, disk and memory priority
// (Windows). Wine 8 refuses it and does not pass thread priorities on to its
// Unix threads: there the sweep pauses after each candidate as long as it
// took, so it takes at most about half of what the file system gives.
void lower_priority() {
    HANDLE self = GetCurrentThread();
    if (win32.SetThreadPriority(self, THREAD_MODE_BACKGROUND_BEGIN)) return;
    win32.SetThreadPriority(self, THREAD_PRIORITY_IDLE);
    sweep.paced = true;
}

// What one sweep looks at, prepared on the main thread (opening a folder
// by its path allocates under Wine 8): beside a cache, and the folder of the
// directory this start runs from.
struct sweep_target {
    HANDLE folder = INVALID_HANDLE_VALUE;
    u16 folder_path[RUN_DIRECTORY_CAPACITY];
    const u16* own_name = nullptr;
    run_directory_pattern pattern;
    bool pruning = false;
};
constexpr int SWEEP_TARGETS = 2;
sweep_target targets[SWEEP_TARGETS];

void sweep_folder(sweep_target& target) {
    const u16* own_name = target.own_name;
    sweep.pruning = target.pruning;
    sweep.pattern = target.pattern;
    sweep.old_cache_count = 0;
    bounded_copy(sweep.folder_path, target.folder_path, RUN_DIRECTORY_CAPACITY);
    HANDLE folder = target.folder;
    if (!folder_own_path(folder, sweep.own_path, OWN_PATH_CAPACITY)) return;
    // The whole folder, in batches, through its handle: nothing but the
    // stop flag bounds the scan, so however many live directories stand
    // before a leftover, it is reached. Each entry is looked at from a copy
    // of its name: the work on it reuses nothing of the listing buffer.
    directory_listing listing = listing_in(sweep.listing, LISTING_BYTES, false);
    listing.restart = true;
    bool failed = false;
    while (!stopping() && sweep.removed < SWEEP_MAX_TREES) {
        const directory_record* record = next_listed(folder, listing, sweep.name, COMPONENT_NAME_CAPACITY, failed);
        if (record == nullptr) break;
        if (!sweep.pruning && sweep.pattern.prefix[0] != 0 && sweep.name[0] != sweep.pattern.prefix[0])
            continue;
        ULONGLONG started = GetTickCount64();
        consider(folder, own_name);
        if (sweep.pruning) note_old_cache(folder, own_name, *record);
        // Not through the table: a pause of the sweep's own, not one of the
        // clean-up's that tests count.
        if (sweep.paced) {
            ULONGLONG took = GetTickCount64() - started;
            if (took > 0) Sleep(static_cast<DWORD>(took));
        }
    }
    if (sweep.pruning && !stopping()) prune_old_caches(folder, own_name);
}

void close_targets() {
    for (sweep_target& target : targets) {
        if (target.folder != INVALID_HANDLE_VALUE) win32.CloseHandle(target.folder);
        target.folder = INVALID_HANDLE_VALUE;
    }
}

// A cache-template start sweeps beside the cache whichever directory it runs
// from, so its application's staging leftovers go with any of its starts;
// a start that runs from a directory of its own sweeps that folder too.
DWORD WINAPI sweep_main(void*) {
    lower_priority();
    for (sweep_target& target : targets)
        if (target.folder != INVALID_HANDLE_VALUE && !stopping()) sweep_folder(target);
    return 0;
}

}  // namespace

void start_sweep() {
    // This user is read now, on the main thread: the sweep's thread then
    // only compares (see owned_by_current_user).
    (void)own_user_only_security();
    bool any = false;
    for (int index = 0; index < SWEEP_TARGETS; ++index) {
        sweep_target& target = targets[index];
        bool beside_cache = index == 0;
        // A template whose leftovers cannot be told apart safely is not swept.
        if ((beside_cache ? !launcher.cache_template : launcher.keep_run_directory.load()) ||
            !sweep_target_of_launcher(beside_cache, target.pattern, target.folder_path, target.own_name))
            continue;
        target.pruning = beside_cache;
        target.folder = folder_open(target.folder_path);
        any = any || target.folder != INVALID_HANDLE_VALUE;
    }
    if (any) sweep_thread = win32.CreateThread(nullptr, 0, sweep_main, nullptr, 0, nullptr);
    if (sweep_thread == nullptr) close_targets();
}

void finish_sweep() {
    if (sweep_thread == nullptr) return;
    bool ended = win32.WaitForSingleObject(sweep_thread, SWEEP_GRACE_MS) == WAIT_OBJECT_0;
    if (!ended) {
        sweep_stop.store(true);
        ended = win32.WaitForSingleObject(sweep_thread, SWEEP_STOP_MS) == WAIT_OBJECT_0;
    }
    win32.CloseHandle(sweep_thread);
    sweep_thread = nullptr;
    // Kept open while the thread may still use them; the exit closes them then.
    if (ended) close_targets();
}
