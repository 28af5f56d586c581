// Shutdown: stop a child that is still running and delete the run directory
// with bounded retries, at the parent's normal end and on console events.
// Deletion goes through the tree deleter alone: nothing is deleted by a
// path, so nothing a link leads to is reached.
#include "launcher/launcher.h"
#include "platform/tree_deleter.h"

namespace {

bool run_directory_still_there() {
    DWORD attributes = win32.GetFileAttributesW(launcher.run_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One attempt of the deleter. False when no later attempt can do more: the
// deleter refused an entry (a link, a file with a name outside that it
// could delete only by changing it), which stays, or the folder cannot be
// opened. Only what is in use is worth the retries.
bool delete_attempt(HANDLE folder, const u16* name) {
    if (folder == INVALID_HANDLE_VALUE) return false;
    return !delete_tree(folder, name, nullptr).refused;
}

}  // namespace

void cleanup_run_directory() {
    // Exactly one caller gets the handler's handle out of the field; that one
    // uses it and closes it. The main thread keeps a handle of its own.
    HANDLE child = launcher.child_process.exchange(nullptr);
    if (child != nullptr) {
        if (win32.WaitForSingleObject(child, CHILD_GRACE_MS) != WAIT_OBJECT_0)
            win32.TerminateProcess(child, 0);
        win32.CloseHandle(child);
    }
    // The parent's own hold would make its deletion fail.
    release_run_directory_lock();
    // A cache stays for later starts; only this start's holds go.
    if (launcher.keep_run_directory.load()) {
        release_lock_file();
        return;
    }
    if (!launcher.cleanup_armed.load()) return;

    u16 folder_path[RUN_DIRECTORY_CAPACITY];
    const u16* name = nullptr;
    if (!split_run_directory(folder_path, name)) return;
    HANDLE folder = folder_open(folder_path);
    bool go_on = delete_attempt(folder, name);
    for (int retry = 0; go_on && retry < DELETE_RETRIES; ++retry) {
        if (!run_directory_still_there()) break;
        win32.Sleep(DELETE_RETRY_PAUSE_MS);
        go_on = delete_attempt(folder, name);
    }
    // The lock file goes last: while the directory was there, it held it
    // against sweeps of other Wine prefixes.
    release_lock_file();
    u16 lock_name[LOCK_FILE_PATH_CAPACITY];
    if (folder != INVALID_HANDLE_VALUE && run_directory_lock_path(lock_name, LOCK_FILE_PATH_CAPACITY)) {
        size_t offset = static_cast<size_t>(name - launcher.run_directory);
        delete_file_entry(folder, lock_name + offset);
    }
    if (folder != INVALID_HANDLE_VALUE) win32.CloseHandle(folder);
}

BOOL WINAPI console_control_handler(DWORD control_type) {
    switch (control_type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
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
