// The system's sources for path template expansion: temporary path, known
// folders, argv[0], process id, time and environment, through the call
// table. No expansion logic here.
#include "platform/path_template.h"

#include <cstdlib>

#include "platform/environment.h"
#include "platform/win32_api.h"

namespace {

void system_write_temp_path(u16* at, size_t room) {
    DWORD size = room > MAXDWORD ? MAXDWORD : static_cast<DWORD>(room);
    DWORD count = win32.GetTempPathW(size, at);
    // 0 is a failure; a count not below the size is the size it would need,
    // and what the buffer then holds is not a path.
    if (count == 0 || count >= size) at[0] = 0;
}

bool system_known_folder(int folder_id, u16* folder) {
    return win32.SHGetFolderPathW(nullptr, folder_id, nullptr, 0, folder) == S_OK;
}

// The runtime's own split of the command line, not the module path.
const u16* system_program() {
    if (__wargv == nullptr || __argc < 1) return nullptr;
    return __wargv[0];
}

uint32_t system_current_process_id() { return win32.GetCurrentProcessId(); }

int64_t system_time() {
    FILETIME now;
    win32.GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
}

const template_sources SYSTEM_SOURCES = {
    system_write_temp_path, system_known_folder, system_program, system_current_process_id,
    system_time,            get_env_var,         set_env_var,
};

}  // namespace

const template_sources& system_template_sources() { return SYSTEM_SOURCES; }

bool expand_path_template(u16* output, const u16* path_template, size_t capacity) {
    return expand_path_template(SYSTEM_SOURCES, output, path_template, capacity);
}
