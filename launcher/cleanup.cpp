// Shutdown: stop a child that is still running and delete the run directory
// with bounded retries, at the parent's normal end and on console events.
// Deletion goes through the tree deleter alone, on the directory this
// process made and published (ownership.h).
#include "launcher/launcher.h"
#include "launcher/ownership.h"
#include "launcher/progress_window.h"
#include "platform/tree_deleter.h"

namespace {

// One attempt of the deleter on the directory this process made. False
// when no later attempt can do better: the deleter left something it will
// never take (a link, a file with further names, a special file). Nothing
// here deletes by path: a path may lead through a link by now.
bool delete_attempt(HANDLE folder, const made_directory& made, bool& removed) {
    tree_deletion result = delete_tree(folder, made.name, made.directory_index, nullptr);
    removed = result.removed;
    return !result.refused;
}

// The console handler's thread and the main thread may both end the run at
// once (an event while the parent collects its child). Two deleters on one
// tree would each meet the other's half-removed entries, and the launcher
// ends as soon as the main thread returns, perhaps while the handler's
// deleter is still at work. So one clean-up runs at a time; the later one
// finds the work done, or finishes it.
SRWLOCK cleanup_lock = SRWLOCK_INIT;

void clean_up_alone() {
    // Exactly one caller gets the handler's handle out of the field; that one
    // uses it and closes it. The main thread keeps a handle of its own.
    HANDLE child = launcher.child_process.exchange(nullptr);
    if (child != nullptr) {
        if (win32.WaitForSingleObject(child, CHILD_GRACE_MS) != WAIT_OBJECT_0)
            win32.TerminateProcess(child, STOPPED_CHILD_EXIT_STATUS);
        win32.CloseHandle(child);
    }
    // The parent's own hold would make its deletion fail.
    release_run_directory_lock();
    // Only the directory this process made, as it was published: a cache it
    // runs from, or anything it merely found, is never deleted here.
    const made_directory* made = published_made_directory.load();
    if (made == nullptr || !launcher.cleanup_armed.load()) {
        release_lock_file();
        return;
    }
    // The folder it was made in, or nothing: a folder that is not that one
    // any more (a link put in its place) holds nothing of ours.
    HANDLE folder = open_made_folder(*made);
    if (folder == INVALID_HANDLE_VALUE) {
        release_lock_file();
        return;
    }
    bool removed = false;
    bool go_on = delete_attempt(folder, *made, removed);
    for (int retry = 0; go_on && !removed && retry < DELETE_RETRIES; ++retry) {
        win32.Sleep(DELETE_RETRY_PAUSE_MS);
        go_on = delete_attempt(folder, *made, removed);
    }
    // The lock file goes last: while the directory was there, it held it
    // against sweeps of other Wine prefixes.
    release_lock_file();
    if (removed) delete_file_entry(folder, made->lock_name, made->lock_index);
    win32.CloseHandle(folder);
}

}  // namespace

void cleanup_run_directory() {
    AcquireSRWLockExclusive(&cleanup_lock);
    clean_up_alone();
    ReleaseSRWLockExclusive(&cleanup_lock);
}

BOOL WINAPI console_control_handler(DWORD control_type) {
    switch (control_type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: {
            int phase = LAUNCH_UNPACKING;
            if (launcher.launch_phase.compare_exchange_strong(phase, LAUNCH_INTERRUPTED)) {
                // Before the child: the main thread stops unpacking, deletes
                // what it wrote (one deleter, no write racing a deletion) and
                // ends with the event's status.
                unpack_progress.stop_requested.store(true);
                return TRUE;
            }
            // A child shares the console and had the event too: the launcher
            // goes on to return its status from the main thread. Asked of the
            // phase, not of the handle: this thread may run only after the
            // child has ended and the main thread has taken the handle back,
            // and ending here would report the event instead of the status.
            for (DWORD waited = 0; launcher.launch_phase.load() == LAUNCH_CHILD_CLAIMED && waited < CHILD_GRACE_MS;
                 ++waited)
                win32.Sleep(1);
            if (phase != LAUNCH_INTERRUPTED) cleanup_run_directory();
            return TRUE;
        }
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            cleanup_run_directory();
            break;
        default:
            break;
    }
    return FALSE;
}
