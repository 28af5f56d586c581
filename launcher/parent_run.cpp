// The parent role: unpack every entry, tell the child where the launcher
// lives, start the child with the same standard handles, wait, collect its
// exit status and delete the run directory; meanwhile sweep away the run
// directories of launchers that are gone.
#include "diagnostics/failure.h"
#include "launcher/launcher.h"
#include "launcher/progress_window.h"
#include "platform/end_abnormally.h"
#include "platform/command_line.h"
#include "platform/environment.h"

// Stops early when the progress window's Cancel asks it to, or after a
// write failure a cache's staging recovers from.
void unpack_payload(payload_archive payload, const u16* directory, bool made) {
    if (payload.compressed) start_compressed_extraction(payload);
    if (payload.solid) start_solid_extraction(payload);
    for (;;) {
        if (unpack_progress.stop_requested.load() || extraction_failed()) break;
        // The walk ends at the end marker; a damaged archive ends the process.
        read_status status = read_entry_name(payload, launcher.entry_name);
        if (status == read_status::end_marker) break;
        if (status != read_status::ok) fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
        make_target_path(launcher.target_path, directory, launcher.entry_name, launcher.first_entry_path);
        uint64_t size = 0;
        if (read_entry_size(payload, size) != read_status::ok) fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
        // Made at the first entry's write, as before: an archive whose first
        // entry is damaged leaves nothing on disk.
        if (!made) make_run_directory(directory);
        made = true;
        if (payload.compressed)
            write_compressed_entry(payload, size, launcher.target_path, launcher.entry_name, launcher.cache,
                                   &unpack_progress);
        else if (payload.solid)
            write_solid_entry(size, launcher.target_path, launcher.entry_name, launcher.cache, &unpack_progress);
        else
            write_payload_entry(payload, size, launcher.target_path, launcher.cache, launcher.write_buffer,
                                &unpack_progress);
    }
    if (payload.compressed) finish_compressed_extraction();
    if (payload.solid) finish_solid_extraction();
    // Every file complete and closed before anything relies on the tree.
    finish_extraction_closes();
}

namespace {

constexpr int CHILD_START_ATTEMPTS = 3;
constexpr DWORD CHILD_START_PAUSE_MS = 100;

void set_child_information() {
    if (launcher.own_module_path_copy[0] == 0)
        win32.GetModuleFileNameW(nullptr, launcher.own_module_path_copy,
                                 OWN_MODULE_PATH_COPY_CAPACITY);
    bounded_copy(launcher.executable_directory, launcher.own_module_path_copy,
                 EXECUTABLE_DIRECTORY_CAPACITY);
    u16* last_backslash = nullptr;
    for (u16* unit = launcher.executable_directory; *unit != 0; ++unit)
        if (*unit == U16('\\')) last_backslash = unit;
    if (last_backslash != nullptr) *last_backslash = 0;
    set_env_var(DIRECTORY_VARIABLE, launcher.executable_directory);
    set_env_var(ORIGINAL_ARGV0_VARIABLE, launcher.argument_vector[0]);
}

}  // namespace

void publish_child_for_handler(HANDLE process) {
    // If no duplicate can be made, a console event during the wait cannot
    // stop the child; the child shares the console and receives the same
    // event itself.
    HANDLE duplicate = nullptr;
    HANDLE self = win32.GetCurrentProcess();
    if (win32.DuplicateHandle(self, process, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        launcher.child_process.store(duplicate);
    launcher.launch_phase.store(LAUNCH_CHILD_STARTED);
}

bool claim_child_start() {
    int expected = LAUNCH_UNPACKING;
    return launcher.launch_phase.compare_exchange_strong(expected, LAUNCH_CHILD_CLAIMED) ||
           expected == LAUNCH_CHILD_CLAIMED || expected == LAUNCH_CHILD_STARTED;
}

// Waits for the child without limit and returns its exit status, or
// UNREADABLE_EXIT_STATUS when it cannot be read. The main thread owns
// `process`; the console handler has its own duplicate in
// launcher.child_process (see cleanup.cpp).
DWORD collect_child(HANDLE process) {
    DWORD exit_status = 0;
    win32.WaitForSingleObject(process, INFINITE);
    if (!win32.GetExitCodeProcess(process, &exit_status)) exit_status = UNREADABLE_EXIT_STATUS;
    win32.CloseHandle(process);
    // Take the handler's duplicate back unless the handler already took it.
    HANDLE duplicate = launcher.child_process.exchange(nullptr);
    if (duplicate != nullptr) win32.CloseHandle(duplicate);
    return exit_status;
}

int run_parent() {
    start_progress_window(launcher.payload);
    if (!use_run_directory_cache()) unpack_payload(launcher.payload, launcher.run_directory, false);
    // Cancelled, or a console event came: what was written goes with the
    // clean-up, no child starts.
    bool complete = finish_unpacking();
    if (!claim_child_start()) {
        finish_progress_window();
        cleanup_run_directory();
        return static_cast<int>(STOPPED_CHILD_EXIT_STATUS);
    }
    if (!complete) {
        finish_progress_window();
        cleanup_run_directory();
        return CANCELLED_EXIT_STATUS;
    }
    set_child_information();

    if (launcher.own_module_path[0] == 0 &&
        win32.GetModuleFileNameW(nullptr, launcher.own_module_path, OWN_MODULE_PATH_CAPACITY) == 0)
        end_abnormally();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = win32.GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = win32.GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = win32.GetStdHandle(STD_ERROR_HANDLE);
    u16* command_line = build_child_command_line(launcher.own_module_path);

    // Wine fails a start now and then with ERROR_INTERNAL_ERROR on an
    // overloaded machine: the new process ended before its set-up was done,
    // before any of its code ran. No child exists then, so the start is made
    // again, twice at most; any other error is the child's verdict.
    PROCESS_INFORMATION child = {};
    for (int attempt = 1;; ++attempt) {
        if (win32.CreateProcessW(launcher.own_module_path, command_line, nullptr, nullptr, TRUE,
                                 NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child))
            break;
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == CHILD_START_ATTEMPTS) fail_launch_child(error);
        win32.Sleep(CHILD_START_PAUSE_MS);
    }
    win32.CloseHandle(child.hThread);
    progress_child_started(child.hProcess, child.dwProcessId);
    if (cache_awaits_record()) start_cache_record();
    start_sweep();

    DWORD exit_status = 0;
    if (child.hProcess != nullptr) {
        publish_child_for_handler(child.hProcess);
        exit_status = collect_child(child.hProcess);
    }
    // Before the holds go: no other start replaces the cache meanwhile.
    if (cache_awaits_record()) (void)finish_cache_record();
    finish_progress_window();
    cleanup_run_directory();
    finish_sweep();
    return static_cast<int>(exit_status);
}
