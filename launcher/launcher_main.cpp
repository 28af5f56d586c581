// launcher_main and role selection: is this process the child of a running
// parent of the same executable, or a parent itself?
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "launcher/launcher.h"
#include "platform/end_abnormally.h"
#include "platform/environment.h"
#include "platform/executable_identity.h"

launcher_state launcher;

namespace {

// The own identity is computed on first need and kept.
const u16* own_executable_identity() {
    if (launcher.own_identity[0] == 0) {
        win32.GetModuleFileNameW(nullptr, launcher.own_identity, OWN_IDENTITY_CAPACITY);
        make_executable_identity(launcher.own_identity, OWN_IDENTITY_CAPACITY);
    }
    return launcher.own_identity;
}

// True when `process_id` names a running process of this same executable.
bool is_parent_process(DWORD process_id) {
    HANDLE process = win32.OpenProcess(PARENT_ACCESS, FALSE, process_id);
    if (process == nullptr) return false;

    u16 parent_identity[PARENT_IDENTITY_CAPACITY];
    bool have_path = win32.K32GetModuleFileNameExW(process, nullptr, parent_identity,
                                                   PARENT_IDENTITY_CAPACITY) != 0;
    // The module path is read from the other process's memory. Where that is
    // refused (a tracer holds the parent: seen under strace with Wine 8), the
    // real child would take the parent role and start a child that fails the
    // same way, without end. The system keeps the image path itself too.
    if (!have_path) {
        DWORD size = PARENT_IDENTITY_CAPACITY;
        have_path = win32.QueryFullProcessImageNameW(process, 0, parent_identity, &size) != 0;
    }
    // A candidate whose executable can no longer be opened (replaced or
    // deleted while it runs) is rejected instead of ending this start: a stale
    // variable must not stop every later start of a fresh launcher.
    if (have_path) have_path = try_make_executable_identity(parent_identity,
                                                            PARENT_IDENTITY_CAPACITY);
    const u16* own = own_executable_identity();
    bool recognised = have_path && u16_equal(parent_identity, own);
    win32.CloseHandle(process);
    return recognised;
}

// The parent's own id, "%ld", widened byte by byte.
void publish_own_process_id() {
    char text[PROCESS_ID_TEXT_SIZE];
    snprintf(text, sizeof text, "%ld", static_cast<long>(win32.GetCurrentProcessId()));
    u16 wide_text[PROCESS_ID_TEXT_SIZE];
    bounded_buffer wide = bounded_buffer::cleared(wide_text, PROCESS_ID_TEXT_SIZE);
    wide.append_widened(text);
    set_env_var(PARENT_VARIABLE, wide_text);
}

}  // namespace

void select_role() {
    u16* value = get_env_var(PARENT_VARIABLE);
    bool absent = value == nullptr || value[0] == 0;
    launcher.child_role = false;
    if (!absent) {
        errno = 0;
        u16* end = nullptr;
        unsigned long id = wcstoul(value, &end, 10);
        bool parsed = errno == 0 && *end == 0;
        // An id inherited from an earlier run that the system has given to
        // this very process names no parent: taken as one, the start would
        // look for a run directory nobody unpacked.
        if (parsed && static_cast<DWORD>(id) == win32.GetCurrentProcessId()) parsed = false;
        launcher.child_role = parsed && is_parent_process(static_cast<DWORD>(id));
        if (!launcher.child_role) {
            unset_env_var(PARENT_VARIABLE);
            unset_env_var(START_VARIABLE);
        }
    }
    free(value);
    if (!launcher.child_role) publish_own_process_id();
}

int launcher_main() {
    make_abort_unattended();
    launcher.argument_count = __argc;
    launcher.argument_vector = __wargv;
    select_role();
    open_run_directory_and_payload();
    return launcher.child_role ? run_child() : run_parent();
}
