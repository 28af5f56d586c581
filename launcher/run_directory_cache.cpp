// The cache: a run directory unpacked once and reused by later starts while
// the payload is the same. Made through a staging directory beside it that
// carries this application's mark from the start and renamed into place
// whole, so no start ever runs from a half-written tree; trusted by other
// starts once its files are on the disk and the digest is recorded, or
// while a start that runs from it lives to record it (cache_record.cpp);
// verified at each start through
// handles by the recorded digest and every entry's size (no content read);
// replaced only when it is this application's (ownership.h), of an older
// build or damaged, and nobody holds it. Win32 calls go through `win32`.
// Silent: a cache that cannot be used sends the start to a directory of its
// own under {TEMP}.
#include <cstdio>
#include <initializer_list>

#include "diagnostics/failure.h"
#include "format/branding_record.h"
#include "format/shared_names.h"
#include "launcher/launcher.h"
#include "launcher/leftover_rules.h"
#include "launcher/ownership.h"
#include "launcher/progress_window.h"
#include "platform/environment.h"
#include "platform/file_probe.h"
#include "platform/path_template.h"
#include "platform/private_directory.h"
#include "platform/tree_deleter.h"

namespace {

// Without delete sharing: refused while any launcher holds the cache, and
// keeps new holds out while it is open.
constexpr DWORD CLAIM_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A start that finds the cache stale builds it once and looks again; one
// more round covers a rival that renamed its own into place meanwhile.
constexpr int CACHE_ROUNDS = 3;
constexpr size_t NUMBER_TEXT_SIZE = 24;

enum class cache_state {
    missing,   // nothing there: build it
    unusable,  // not this application's cache, or not to be held: run from {TEMP}
    newer,     // a newer build's cache: leave it, run from {TEMP}
    stale,     // this application's, of an older build or damaged: replace it
    verified,  // this build's, every entry in place: run from it
};

// The cache's own path, for the sweep beside it once this start may run
// from {TEMP}.
u16 cache_path[RUN_DIRECTORY_CAPACITY];
// The number of the cache this start renamed into place, and whether this
// start runs from a cache before its record (cache_record.cpp) is written.
int64_t built_here_index = 0;
bool awaits_record = false;

struct cache_folder {
    u16 path[RUN_DIRECTORY_CAPACITY];
    u16 own_path[RUN_DIRECTORY_CAPACITY];
    const u16* name;  // the cache's name within it
    HANDLE handle;
};

bool open_cache_folder(const u16* cache, cache_folder& folder) {
    if (!split_directory_path(cache, folder.path, folder.name)) return false;
    folder.handle = folder_open(folder.path);
    if (folder.handle == INVALID_HANDLE_VALUE) return false;
    if (folder_own_path(folder.handle, folder.own_path, RUN_DIRECTORY_CAPACITY)) return true;
    win32.CloseHandle(folder.handle);
    return false;
}

void close_valid(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) win32.CloseHandle(handle);
}

// `base` followed by `suffix` into `out` (capacity units); false when too long.
bool join(u16* out, size_t capacity, const u16* base, const u16* suffix) {
    size_t length = 0;
    for (const u16* part : {base, suffix})
        for (; *part != 0; ++part) {
            if (length + 1 >= capacity) return false;
            out[length++] = *part;
        }
    out[length] = 0;
    return true;
}

}  // namespace

// A name the sweep beside a cache reclaims once this process is gone.
bool cache_staging_name(u16* out, size_t capacity, const u16* cache, uint64_t serial) {
    FILETIME now;
    win32.GetSystemTimeAsFileTime(&now);
    uint64_t count = ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) + serial;
    char digits[2 * NUMBER_TEXT_SIZE];
    snprintf(digits, sizeof digits, "%lu_%llu", static_cast<unsigned long>(win32.GetCurrentProcessId()),
             static_cast<unsigned long long>(count));
    u16 wide[2 * NUMBER_TEXT_SIZE];
    size_t index = 0;
    for (; digits[index] != 0; ++index) wide[index] = static_cast<u16>(digits[index]);
    wide[index] = 0;
    u16 with_infix[RUN_DIRECTORY_CAPACITY];
    return join(with_infix, RUN_DIRECTORY_CAPACITY, cache, CACHE_STAGING_INFIX) &&
           join(out, capacity, with_infix, wide);
}

namespace {

// The verdict on what stands at the cache's path.
struct cache_look {
    cache_state state;
    int64_t index;     // the directory's number, when it is ours
    bool unrecorded;   // this application's, its digest not yet recorded
};

// Every entry of `walk` there as a plain file of its size, with one name,
// reached through the held cache's handle without following a link: one
// walk over the archive's names and sizes, one open per entry, no content
// read.
bool entries_match(HANDLE directory, payload_archive walk) {
    static file_probe probe;
    if (!open_file_probe(directory, probe)) return false;
    bool match = true;
    for (;;) {
        read_status status = read_entry_name(walk, launcher.entry_name);
        if (status == read_status::end_marker) break;
        uint64_t size = 0;
        if (status != read_status::ok || read_entry_size(walk, size) != read_status::ok ||
            !plain_file_below(probe, launcher.entry_name, size)) {
            match = false;
            break;
        }
        skip_entry_data(walk);
    }
    close_file_probe(probe);
    return match;
}

bool digests_equal(const uint8_t* a, const uint8_t* b) {
    for (size_t index = 0; index < PAYLOAD_DIGEST_SIZE; ++index)
        if (a[index] != b[index]) return false;
    return true;
}

bool digest_unrecorded(const uint8_t* digest) {
    static const uint8_t zero[PAYLOAD_DIGEST_SIZE] = {};
    return digests_equal(digest, zero);
}

// The lock file of `cache`, opened or made without following a link, judged
// on its handle, and held with the shared lock.
bool hold_cache_lock_file(const u16* cache, HANDLE folder, const u16* folder_path, const u16* lock_name) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (hold_existing_lock_file(folder, folder_path, lock_name)) return true;
        opened_entry entry = entry_open(folder, folder_path, lock_name, 0, SHARE_ALL);
        close_valid(entry.handle);
        // Something else stands there (a link, a file of two names): not ours.
        if (entry.kind != entry_kind::gone) return false;
        // Made new: CREATE_NEW follows no link, a dangling one included.
        u16 path[RUN_DIRECTORY_CAPACITY + 16];
        HANDLE file = lock_file_name(path, RUN_DIRECTORY_CAPACITY + 16, cache, u16_length(cache))
                          ? win32.CreateFileW(path, GENERIC_READ, CLAIM_SHARING, own_user_only_security(),
                                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                          : INVALID_HANDLE_VALUE;
        if (file != INVALID_HANDLE_VALUE) {
            keep_lock_file(file);
            return true;
        }
        // A rival made it meanwhile (look again), or a dangling link refused it.
    }
    return false;
}

void release_holds() {
    release_run_directory_lock();
    release_lock_file();
}

// Looks at what stands at `cache`. Only a directory that carries this
// application's cache mark naming it is a cache; anything else there (a
// user's own folder, a copy of a cache with its mark, a link, another
// user's or another product's directory) is never used, replaced or
// deleted. A cache is held (directory handle and lock file) and verified
// through handles against `payload`; the holds stay only when it is
// verified.
cache_look open_cache(const u16* cache, const payload_archive& payload) {
    cache_look look = {cache_state::unusable, 0, false};
    cache_folder folder;
    if (!open_cache_folder(cache, folder)) return look;
    opened_entry entry = entry_open(folder.handle, folder.own_path, folder.name, OWNERSHIP_ACCESS, SHARE_ALL);
    ownership_verdict verdict = judge_ownership(folder.handle, folder.own_path, folder.name,
                                                u16_length(folder.name), entry);
    close_valid(entry.handle);
    if (entry.kind == entry_kind::gone) {
        win32.CloseHandle(folder.handle);
        look.state = cache_state::missing;
        return look;
    }
    u16 lock_name[COMPONENT_NAME_CAPACITY + 16];
    bool held = verdict.how == ownership::cache && same_application(verdict.mark) &&
                hold_run_directory(cache) && held_run_directory_index() == entry.index &&
                lock_file_name(lock_name, COMPONENT_NAME_CAPACITY + 16, folder.name, u16_length(folder.name)) &&
                hold_cache_lock_file(cache, folder.handle, folder.own_path, lock_name);
    win32.CloseHandle(folder.handle);
    if (!held) {
        release_holds();
        return look;
    }
    look.index = entry.index;
    look.unrecorded = digest_unrecorded(verdict.mark.digest);
    // Unrecorded, it is trusted by the start that made it, and by others of
    // this build while a start that runs from it lives (its files are then
    // in the system's cache, whole): each of them tries the record at its
    // end. None left: its files may never have reached the disk.
    HANDLE held_cache = launcher.run_directory_lock.load();
    bool made_here = look.unrecorded && built_here_index != 0 && entry.index == built_here_index;
    bool shared = look.unrecorded && !made_here && share_cache_record(held_cache, entry.index);
    bool this_build = made_here || shared || digests_equal(verdict.mark.digest, launcher_branding.payload_digest);
    if (this_build && entries_match(held_cache, payload)) {
        look.state = cache_state::verified;
        awaits_record = made_here || shared;
        return look;
    }
    drop_cache_record();
    release_holds();
    // A newer build's cache stays theirs: two builds sharing a template do
    // not replace each other at every start.
    look.state = !this_build && newer_build(verdict.mark) ? cache_state::newer : cache_state::stale;
    return look;
}

// A stale cache of this application that nobody holds, renamed out of the
// way under this start's claim and deleted. False while any launcher holds
// it, or when it is not the directory judged stale (`index`) any more.
bool retire_cache(const u16* cache, int64_t index) {
    cache_folder folder;
    if (!open_cache_folder(cache, folder)) return false;
    bool retired = false;
    // Claimed through its judged handle, never by a path that may be a link
    // by now; under Wine 8 the lock is what a launcher of another prefix holds.
    u16 lock_name[COMPONENT_NAME_CAPACITY + 16];
    bool lock_free = false;
    int64_t lock_index = 0;
    HANDLE lock = lock_file_name(lock_name, COMPONENT_NAME_CAPACITY + 16, folder.name, u16_length(folder.name))
                      ? claim_lock_file(folder.handle, folder.own_path, lock_name, lock_free, lock_index)
                      : INVALID_HANDLE_VALUE;
    opened_entry entry = entry_open(folder.handle, folder.own_path, folder.name, OWNERSHIP_ACCESS, SHARE_ALL);
    ownership_verdict verdict = judge_ownership(folder.handle, folder.own_path, folder.name,
                                                u16_length(folder.name), entry);
    HANDLE claim = lock_free && entry.index == index && verdict.how == ownership::cache &&
                           same_application(verdict.mark)
                       ? entry_reopen(entry, folder.own_path, folder.name, DELETE, CLAIM_SHARING)
                       : INVALID_HANDLE_VALUE;
    close_valid(entry.handle);
    u16 retired_name[COMPONENT_NAME_CAPACITY + 64];
    if (claim != INVALID_HANDLE_VALUE && cache_staging_name(retired_name, COMPONENT_NAME_CAPACITY + 32, folder.name, 1) &&
        join(retired_name, COMPONENT_NAME_CAPACITY + 64, retired_name, SWEEP_SUFFIX))
        retired = rename_held_directory(claim, folder.path, retired_name);
    close_valid(claim);
    close_valid(lock);
    // What cannot be deleted now keeps its swept name for a later start.
    if (retired) delete_tree(folder.handle, retired_name, index, nullptr);
    win32.CloseHandle(folder.handle);
    return retired;
}

// The mark of the staging directory `staging` (its number `index`), made
// new inside it before anything else, with a zero digest; left open for the
// digest, written last.
HANDLE start_cache_mark(const u16* staging, int64_t index) {
    u16 path[RUN_DIRECTORY_CAPACITY + 32];
    if (!join(path, RUN_DIRECTORY_CAPACITY + 32, staging, U16("\\")) ||
        !join(path, RUN_DIRECTORY_CAPACITY + 32, path, CACHE_RECORD_NAME))
        return INVALID_HANDLE_VALUE;
    HANDLE file = win32.CreateFileW(path, GENERIC_WRITE, 0, own_user_only_security(), CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    cache_mark mark;
    this_build_mark(mark, index);
    DWORD written = 0;
    if (!win32.WriteFile(file, &mark, sizeof mark, &written, nullptr) || written != sizeof mark) {
        win32.CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Unpacks `payload` into a staging directory beside `cache` and renames it
// into place through the hold it was made with, its digest unrecorded: from its making to its rename nobody else can rename,
// replace or delete it. A rival that renamed its own first wins; this
// start's staging directory is then deleted, as it is after a failure to
// write (a full volume): that start runs from {TEMP}, and a later one builds
// the cache again. False when nothing usable was made; true otherwise (the
// caller looks at the cache again).
bool build_cache(const u16* cache, const payload_archive& payload) {
    u16 staging[RUN_DIRECTORY_CAPACITY];
    const u16* cache_name = nullptr;
    u16 cache_folder_text[RUN_DIRECTORY_CAPACITY];
    // Room for ".lock" after it, as for any run directory.
    if (!split_directory_path(cache, cache_folder_text, cache_name) ||
        !cache_staging_name(staging, RUN_DIRECTORY_CAPACITY - 8, cache, 0))
        return false;
    bool made = try_make_run_directory(staging, true);
    int64_t index = made ? held_run_directory_index() : 0;
    HANDLE mark = made ? start_cache_mark(staging, index) : INVALID_HANDLE_VALUE;
    bool written = false;
    if (mark != INVALID_HANDLE_VALUE) {
        set_cache_staging_extraction(true);
        unpack_payload(payload, staging, true);
        written = !extraction_failed();
        set_cache_staging_extraction(false);
    }
    // A Cancel of the progress window stops unpacking: such a tree is never
    // recorded as whole.
    bool complete = written && !unpack_progress.stop_requested.load();
    // Closed before the rename: Windows renames no directory with a file
    // open below it.
    close_valid(mark);
    const made_directory* own = made ? published_made_directory.load() : nullptr;
    // Taken out of the field: the console handler's clean-up, which may
    // release it meanwhile, then finds none to close.
    HANDLE held = launcher.run_directory_lock.exchange(nullptr);
    // Claimed before the rename: from the moment the cache stands in place
    // other starts of this build know its maker lives. Without the claim
    // they run from {TEMP} until it is recorded.
    if (complete && held != nullptr) (void)claim_cache_record(held, index);
    bool renamed = complete && own != nullptr && held != nullptr &&
                   rename_held_directory(held, own->folder_text, cache_name);
    close_valid(held);
    if (renamed) built_here_index = index;
    else drop_cache_record();
    release_lock_file();
    HANDLE folder = own != nullptr ? open_made_folder(*own) : INVALID_HANDLE_VALUE;
    if (folder != INVALID_HANDLE_VALUE) {
        if (!renamed) delete_tree(folder, own->name, own->directory_index, nullptr);
        delete_file_entry(folder, own->lock_name, own->lock_index);
        win32.CloseHandle(folder);
    }
    unpublish_made_directory();
    // A staging directory that could not be written whole: this start runs
    // from {TEMP} rather than try again on a volume that refused it.
    return made && (complete || unpack_progress.stop_requested.load());
}

// This start runs from a directory of its own: the default template under
// {TEMP}, whose {TIME} sets the start variable that tells the child so.
void fall_back_to_temp() {
    drop_cache_record();
    launcher.keep_run_directory.store(false);
    launcher.run_directory_template = DEFAULT_RUN_DIRECTORY_TEMPLATE;
    if (!expand_path_template(launcher.run_directory, DEFAULT_RUN_DIRECTORY_TEMPLATE, RUN_DIRECTORY_CAPACITY))
        fail_expand_template(DEFAULT_RUN_DIRECTORY_TEMPLATE);
}

}  // namespace

const u16* cache_run_directory() { return cache_path; }

bool cache_awaits_record() { return awaits_record; }

bool use_run_directory_cache() {
    if (!launcher.cache_template) return false;
    bounded_copy(cache_path, launcher.run_directory, RUN_DIRECTORY_CAPACITY);
    (void)ensure_parent_directories(launcher.cache, system_directory_operations(), cache_path);
    bool looked_again = false;
    for (int round = 0; round < CACHE_ROUNDS; ++round) {
        cache_look look = open_cache(cache_path, launcher.payload);
        if (look.state == cache_state::verified) {
            launcher.running_from_cache = true;
            return true;
        }
        if (look.state == cache_state::unusable || look.state == cache_state::newer) break;
        // Unrecorded with nobody left to record it, or recorded between the
        // reading of its mark and the look for its event: the mark once more.
        if (look.state == cache_state::stale && look.unrecorded && !looked_again) {
            looked_again = true;
            --round;
            continue;
        }
        // In use by a start of another build: this one runs from {TEMP}.
        if (look.state == cache_state::stale && !retire_cache(cache_path, look.index)) break;
        if (!build_cache(cache_path, launcher.payload)) break;
    }
    fall_back_to_temp();
    return false;
}
