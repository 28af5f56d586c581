// Shutdown: stop a child that is still running and delete the run directory
// with bounded retries, at the parent's normal end and on console events.
// Deletion goes through the tree deleter; the shell's delete request follows
// it only for a tree that is still there and holds no link.
#include "launcher/launcher.h"
#include "platform/tree_deleter.h"

namespace {

// FO_DELETE of the run directory, silently, without confirmation, error UI
// or undo. pFrom is a list of one path: the path and two NUL units.
void delete_run_directory_by_shell() {
    // Local, not static: the handler's thread and the main thread may delete
    // at the same time.
    u16 from[RUN_DIRECTORY_CAPACITY + 1];
    bounded_copy(from, launcher.run_directory, RUN_DIRECTORY_CAPACITY);
    from[u16_length(from) + 1] = 0;
    u16 empty_text[1] = {0};
    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = from;
    request.pTo = empty_text;
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = empty_text;
    win32.SHFileOperationW(&request);
}

bool run_directory_still_there() {
    DWORD attributes = win32.GetFileAttributesW(launcher.run_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One attempt: the deleter, then the shell's request where the deleter left
// a tree without a link (the shell's request follows links: Wine 8 deletes
// what a Unix link leads to). False once a link was found: no later attempt
// can remove it, and the shell's request must never see it.
bool delete_attempt(HANDLE folder, const u16* name) {
    tree_deletion result = {false, false, true};
    if (folder != INVALID_HANDLE_VALUE) result = delete_tree(folder, name, nullptr);
    if (result.kept_link) return false;
    if (!result.removed) delete_run_directory_by_shell();
    return true;
}

}  // namespace

void cleanup_run_directory() {
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
        case CTRL_BREAK_EVENT: {
            // A running child shares the console and had the event too: the
            // launcher goes on to return its status from the main thread.
            bool child_had_it = launcher.child_process.load() != nullptr;
            cleanup_run_directory();
            return child_had_it ? TRUE : FALSE;
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
