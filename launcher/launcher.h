// The launcher's process-wide state and the steps of launcher_main. Launch
// control only: Win32 calls go through the `win32` table.
#pragma once
#include <atomic>

#include "format/archive_reader.h"
#include "format/shared_names.h"
#include "payload/extraction.h"
#include "platform/bounded_buffer.h"
#include "platform/run_directory_template.h"
#include "platform/win32_api.h"

// Grace period for a child after a console event, and the deletion retries.
constexpr DWORD CHILD_GRACE_MS = 5000;
// A child still running after it is ended the way the console event would
// have ended it, with STOPPED_CHILD_EXIT_STATUS: a console launcher returns
// this status, and 0 would report the stop as success.
constexpr DWORD DELETE_RETRY_PAUSE_MS = 100;
constexpr int DELETE_RETRIES = 20;
constexpr DWORD PARENT_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr size_t PROCESS_ID_TEXT_SIZE = 128;
// The run directory's path and ".lock".
constexpr size_t LOCK_FILE_PATH_CAPACITY = RUN_DIRECTORY_CAPACITY + 8;

// Before the child starts, a Ctrl+C or Ctrl+Break stops unpacking and the
// main thread ends the launcher with STOPPED_CHILD_EXIT_STATUS after the
// clean-up: a default handling would end it at once, before the clean-up,
// and under Wine 8 with status 0. Once the child is claimed (just before it
// is started) the launcher returns the child's status, whenever an event
// comes. Whichever side moves the phase off LAUNCH_UNPACKING first decides.
// LAUNCH_CHILD_CLAIMED lasts until the child's handle is published to the
// handler, which waits for that before it cleans up: a deletion while the
// child starts would fail the child instead of stopping it.
enum : int { LAUNCH_UNPACKING = 0, LAUNCH_CHILD_STARTED = 1, LAUNCH_INTERRUPTED = 2, LAUNCH_CHILD_CLAIMED = 3 };

// All long-lived state: static storage, zero at start, never freed.
struct launcher_state {
    // Written at entry.
    int argument_count;
    u16** argument_vector;
    bool child_role;
    u16 own_identity[OWN_IDENTITY_CAPACITY];
    // Run directory and payload: the template it is expanded from (the
    // launcher's record), and the expansion.
    const u16* run_directory_template;
    u16 run_directory[RUN_DIRECTORY_CAPACITY];
    // The record's template is a cache's; and this start runs from the cache
    // (held, never deleted) rather than from a directory of its own.
    bool cache_template;
    bool running_from_cache;
    // Set while the run directory is a cache (or its staging directory):
    // clean-up then releases the holds and deletes nothing. Read by the
    // console handler's thread.
    std::atomic<bool> keep_run_directory;
    payload_archive payload;
    // Read by the console handler's thread, hence atomic.
    std::atomic<bool> cleanup_armed;
    // Extraction.
    u16 entry_name[ENTRY_NAME_CAPACITY];
    u16 target_path[TARGET_PATH_CAPACITY];
    u16 first_entry_path[FIRST_ENTRY_PATH_CAPACITY];
    directory_cache cache;
    uint8_t write_buffer[WRITE_CHUNK_SIZE];
    // Parent run.
    u16 own_module_path[OWN_MODULE_PATH_CAPACITY];
    u16 own_module_path_copy[OWN_MODULE_PATH_COPY_CAPACITY];
    u16 executable_directory[EXECUTABLE_DIRECTORY_CAPACITY];
    // The console handler's own handle of the running child (a duplicate of
    // the main thread's): whoever exchanges it out of the field owns it and
    // closes it. Null when there is none to stop.
    std::atomic<HANDLE> child_process;
    // What Ctrl+C and Ctrl+Break do, settled once between the main thread
    // and the console handler's thread (launch_phase below).
    std::atomic<int> launch_phase;
    // The holds on the run directory (run_directory_guard.cpp): the
    // directory open without delete sharing, and the lock file beside it
    // with a shared byte-range lock. Each process's own, never inherited;
    // the parent's are closed by whoever cleans up first. Null when none.
    std::atomic<HANDLE> run_directory_lock;
    std::atomic<HANDLE> lock_file;
    u16 lock_file_path[LOCK_FILE_PATH_CAPACITY];
};

extern launcher_state launcher;

// The process's main routine; its result is the exit status.
int launcher_main();

// The steps, in the order launcher_main runs them.
void select_role();
void open_run_directory_and_payload();
int run_parent();
int run_child();

// The parent's wait, split so tests can race it against the console handler:
// hand the handler a duplicate of the child's handle, then wait for the
// child without limit and return its exit status (1 when it cannot be read),
// closing the main thread's handle and taking back the duplicate.
void publish_child_for_handler(HANDLE process);
// False when a console event came first: no child may start then.
bool claim_child_start();
DWORD collect_child(HANDLE process);

// Stops a still-running child (grace period, then STOPPED_CHILD_EXIT_STATUS) and deletes
// the run directory, through the tree deleter, with bounded retries; then
// the lock file. Reports nothing.
void cleanup_run_directory();

// The run directory's making and holds (run_directory_guard.cpp).
// make_run_directory: the parent makes the lock file and `directory` new,
// for its user alone, and holds both; any failure ends the process with the
// message for a path that cannot be written. hold_run_directory: opens
// `directory` without delete sharing and checks that it is a plain
// directory of this user reached by its own name (and, in the child, holds
// the lock file); false otherwise.
void make_run_directory(const u16* directory);
// The directory is marked (its lock file names it) and published to the
// clean-up as made here before anything is written into it (ownership.h).
// The same as make_run_directory, false instead of the failure; with
// `renamable` the hold (launcher.run_directory_lock) also has delete access,
// to rename the directory through (rename_held_directory).
bool try_make_run_directory(const u16* directory, bool renamable = false);
bool hold_run_directory(const u16* directory);
// The clean-up no longer deletes the directory last made (a staging
// directory renamed into place as a cache).
void unpublish_made_directory();
// The number on its volume of the directory hold_run_directory holds.
int64_t held_run_directory_index();
// Renames the directory open as `directory` (with DELETE access) to
// `new_name` in `folder_path`.
bool rename_held_directory(HANDLE directory, const u16* folder_path, const u16* new_name);
void release_run_directory_lock();
void release_lock_file();
// Takes the shared lock on `file` and makes it this process's hold of a
// lock file (launcher.lock_file), closing an earlier one.
void keep_lock_file(HANDLE file);
// The lock file `lock_name` of `folder` (own path `folder_path`), opened
// without following a link, judged on its handle (a plain file of one name,
// this user's) and held as keep_lock_file says. False when there is none such.
bool hold_existing_lock_file(HANDLE folder, const u16* folder_path, const u16* lock_name);
// The byte-range lock on a run directory's lock file: shared by the
// launchers that hold the directory, exclusive for one about to remove it.
// False when another process holds a lock that conflicts.
bool lock_lock_file(HANDLE file, bool exclusive);
// The lock file `lock_name` of `folder` (own path `folder_path`), judged on
// its handle and claimed for removal: INVALID_HANDLE_VALUE with `free` true
// when there is none (an older launcher made none); a handle holding the
// exclusive lock when nobody else holds one (`free` true); `free` false when
// some process still holds it (under Wine 8 maybe one of another prefix,
// whose ids and handles this one cannot see) or it is not this user's file.
// `index` is the file's number (to delete it by: delete_file_entry).
HANDLE claim_lock_file(HANDLE folder, const u16* folder_path, const u16* lock_name, bool& free,
                       int64_t& index);
// The folder that holds the directory `path` into `folder` (capacity
// RUN_DIRECTORY_CAPACITY) and the directory's own name within it.
bool split_directory_path(const u16* path, u16* folder, const u16*& name);

// The run-directory template of the launcher's record (the default one when
// the record holds none) (run_directory.cpp).
const u16* record_run_directory_template();
// What a sweep of this start looks at: `beside_cache`, the folder of the
// cache (its staging directories and older caches), else the folder of the
// directory this start runs from, with the pattern of the names there and
// this start's own name in it (`folder`: capacity RUN_DIRECTORY_CAPACITY).
// False when the sweep cannot tell leftovers apart safely there.
bool sweep_target_of_launcher(bool beside_cache, run_directory_pattern& pattern, u16* folder,
                              const u16*& own_name);

// The cache (run_directory_cache.cpp). Parent role, before extraction: true
// when the run directory is now a cache with the payload's digest and every
// entry at its size, held by this process (made first through a staging
// directory when missing or stale and nobody holds it). False when the
// template is not a cache's, or when this start must run from a directory of
// its own: the run directory is then that of the default template, under
// {TEMP}, and the caller unpacks into it. Silent.
bool use_run_directory_cache();
// The cache's own path (valid once use_run_directory_cache has run).
const u16* cache_run_directory();
// True when this start runs from a cache not yet recorded (made here, or
// trusted through its record event) and has not yet tried to record it: start_cache_record (cache_record.cpp), once the child runs, puts its
// files on the disk on a thread of its own; finish_cache_record, once the
// child has ended, waits for that, flushes what the application held, and
// only then writes the payload's digest into the cache's mark. False when
// the record could not be made: later starts then replace the cache.
bool cache_awaits_record();
void start_cache_record();
bool finish_cache_record();
// The cache's record event (cache_record.cpp), held by this start until
// finish_cache_record: claimed new by the start that makes the cache, on its
// staging directory's hold `directory` (number `index`) before the rename;
// shared, when it exists, by a start that finds the cache unrecorded (false:
// every start that ran from it ended before its record). Dropped when this
// start will not run from that cache after all.
bool claim_cache_record(HANDLE directory, int64_t index);
bool share_cache_record(HANDLE directory, int64_t index);
void drop_cache_record();
// The infix of a staging directory's name beside a cache (its mark's name
// inside it: ownership.h).
constexpr u16 CACHE_STAGING_INFIX[] = U16(".staging_");
// "<cache name>.staging_<own id>_<now + serial>" into `out` (capacity units).
bool cache_staging_name(u16* out, size_t capacity, const u16* cache_name, uint64_t serial);

// Walks `payload` from its cursor and writes every entry below `directory`;
// makes the directory at the first entry unless `made` (parent_run.cpp).
void unpack_payload(payload_archive payload, const u16* directory, bool made);

// The sweep of leftovers (sweep.cpp): on a thread of its own, at background
// priority, it deletes the run directories of launchers that are gone and
// that nobody holds; finish_sweep gives it at most SWEEP_GRACE_MS more and
// then leaves the rest for a later start. All silent.
void start_sweep();
void finish_sweep();
BOOL WINAPI console_control_handler(DWORD control_type);
