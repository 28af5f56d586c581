// Win32 edge of the child's command line: the process's own line, its split
// and the own module path, through the call table. Quoting is in
// command_line.cpp.
#include "platform/command_line.h"

#include "platform/end_abnormally.h"
#include "platform/win32_api.h"

namespace {

// CreateProcessW needs a writable line; it lives until the process ends.
u16 child_command_line[CHILD_COMMAND_LINE_CAPACITY];

}  // namespace

u16* build_child_command_line(u16* own_module_path) {
    int count = 0;
    u16** arguments = win32.CommandLineToArgvW(win32.GetCommandLineW(), &count);
    // The splitter fails only when it cannot allocate. Going on would start
    // the child without the user's arguments, which the application could not
    // tell from a run that was given none.
    if (arguments == nullptr) end_abnormally();
    bounded_buffer line = bounded_buffer::cleared(child_command_line, CHILD_COMMAND_LINE_CAPACITY);
    if (own_module_path[0] == 0 &&
        win32.GetModuleFileNameW(nullptr, own_module_path, OWN_MODULE_PATH_CAPACITY) == 0) {
        end_abnormally();
    }
    join_command_line(line, own_module_path, count, arguments);
    // The array is not released: it is one allocation per run and LocalFree
    // would be the launcher's only use of it.
    return child_command_line;
}
