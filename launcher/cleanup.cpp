// Shutdown: stop a child that is still running and delete the run directory
// with bounded retries, at the parent's normal end and on console events.
#include "launcher/launcher.h"

namespace {

// FO_DELETE of the run directory, silently, without confirmation, error UI
// or undo. pFrom is a list of one path: the path and two NUL units.
void delete_run_directory() {
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
    // The parent's own hold would make its deletion fail; whatever else still
    // holds the directory (a process the application started) keeps it.
    release_run_directory_lock();
    if (!launcher.cleanup_armed.load()) return;

    delete_run_directory();
    for (int retry = 0; retry < DELETE_RETRIES; ++retry) {
        if (!run_directory_still_there()) break;
        win32.Sleep(DELETE_RETRY_PAUSE_MS);
        delete_run_directory();
    }
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
