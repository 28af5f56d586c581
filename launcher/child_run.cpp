// The child role: load the application library the parent unpacked and hand
// control to its run_code with this process's arguments.
#include "diagnostics/failure.h"
#include "launcher/launcher.h"

namespace {
using run_code_fn = int (*)(int argument_count, u16** argument_vector);
}

int run_child() {
    switch (read_entry_name(launcher.payload, launcher.entry_name)) {
        case read_status::ok: break;
        // Without a first entry there is no library to load; a child must
        // never go on to start a further instance.
        case read_status::end_marker: fail_with_message(MESSAGE_NO_APPLICATION);
        default: fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
    }
    make_target_path(launcher.target_path, launcher.run_directory, launcher.entry_name,
                     launcher.first_entry_path);

    // Nothing is loaded from a directory that is not this user's own plain
    // directory: one made in advance by someone else (a shared temporary
    // folder), or a link to somewhere else. The hold keeps it so until this
    // process ends: it cannot be renamed or replaced under the library.
    if (!hold_run_directory(launcher.run_directory)) fail_with_system_error(MESSAGE_LOAD_DLL, ERROR_ACCESS_DENIED);
    // From here on every load by name, the application's own (delay-loaded
    // imports, LoadLibrary of a plugin) included, searches the run directory
    // and System32 only: never the launcher's folder (a Downloads folder),
    // the current folder or PATH, where anyone may have left a library of
    // the same name. A process that cannot be held to that loads nothing.
    if (!win32.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS)) {
        DWORD error = GetLastError();
        fail_with_system_error(MESSAGE_LOAD_DLL, error);
    }
    win32.AddDllDirectory(launcher.run_directory);
    // The same for the library's own imports, named one by one:
    // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS is not the order set above but a fixed
    // one that includes the application's folder, the launcher's (Wine 8
    // loaded an import planted there with it).
    HMODULE library = win32.LoadLibraryExW(launcher.first_entry_path, nullptr,
                                           LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                               LOAD_LIBRARY_SEARCH_USER_DIRS);
    if (library == nullptr) {
        DWORD error = GetLastError();
        fail_load_library(error, launcher.first_entry_path, launcher.run_directory);
    }
    auto run_code = reinterpret_cast<run_code_fn>(
        reinterpret_cast<void*>(win32.GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fail_with_message(MESSAGE_NO_ENTRY_POINT);
    return run_code(launcher.argument_count, launcher.argument_vector);
}
