// The launcher's process-wide state and the steps of launcher_main. Launch
// control only: Win32 calls go through the `win32` table.
#pragma once
#include <atomic>

#include "payload/archive_reader.h"
#include "payload/extraction.h"
#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

// Grace period for a child after a console event, and the deletion retries.
constexpr DWORD CHILD_GRACE_MS = 5000;
constexpr DWORD DELETE_RETRY_PAUSE_MS = 100;
constexpr int DELETE_RETRIES = 20;
constexpr DWORD PARENT_ACCESS = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr size_t PROCESS_ID_TEXT_SIZE = 128;

// All long-lived state: static storage, zero at start, never freed.
struct launcher_state {
    // Written at entry.
    int argument_count;
    u16** argument_vector;
    bool child_role;
    u16 own_identity[OWN_IDENTITY_CAPACITY];
    // Run directory and payload.
    u16 run_directory[RUN_DIRECTORY_CAPACITY];
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
    // The run directory held open without delete sharing (sweep.cpp): the
    // parent's inheritable handle, closed by whoever cleans up first; the
    // child's own, held until it ends. Null when it could not be opened.
    std::atomic<HANDLE> run_directory_lock;
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
DWORD collect_child(HANDLE process);

// Stops a still-running child (grace period, then exit code 0) and deletes
// the run directory with bounded retries. Reports nothing.
void cleanup_run_directory();

// The run directory lock and the sweep of leftovers (sweep.cpp). The lock
// keeps the directory from being deleted or renamed by anyone else while
// this process, or a process that inherited the handle, runs. The sweep
// deletes, on a thread of its own, the run directories of launchers that are
// gone and that nobody holds; finish_sweep gives it a bounded time more and
// then stops it. All silent.
void lock_run_directory();
void release_run_directory_lock();
void start_sweep();
void finish_sweep();
BOOL WINAPI console_control_handler(DWORD control_type);
