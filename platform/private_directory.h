// Who may enter the run directory: an access list for this process's user
// alone, and the owner check that trusts a directory before anything in it
// is loaded. Windows only.
#pragma once
#ifndef _WIN32
#error "private_directory.h is for the Windows build only"
#endif

#include <windows.h>

// Security attributes for a directory or file that only this process's user
// may use, with full control: a protected access list (nothing inherited
// from above) of one entry, inherited by everything made below, and that
// user as owner. SYSTEM is that user only when SYSTEM runs the process.
// Built on first use; not inheritable. nullptr when the user cannot be read.
SECURITY_ATTRIBUTES* own_user_only_security();

// True when `handle` (opened with READ_CONTROL) is owned by this process's
// user. Allocates nothing: safe on a thread the process's exit may end.
bool owned_by_current_user(HANDLE handle);
