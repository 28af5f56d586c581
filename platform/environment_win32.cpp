// Win32 edge of environment access: GetEnvironmentVariableW and
// SetEnvironmentVariableW through the call table. No launcher logic here.
#include "platform/environment.h"

#include <cstdlib>
#include <cwchar>

#include "platform/win32_api.h"

// Reads into a local buffer large enough for the longest value the platform
// allows, then hands out a heap copy the caller owns.
u16* get_env_var_wide(const u16* wide_name) {
    u16 value[VARIABLE_VALUE_CAPACITY];
    value[0] = 0;
    DWORD count = win32.GetEnvironmentVariableW(wide_name, value, VARIABLE_VALUE_CAPACITY);
    // 0: absent or empty (both read as none). A count that is not below the
    // buffer size is the size the value would need, and the buffer holds no
    // complete value then.
    if (count == 0 || count >= VARIABLE_VALUE_CAPACITY) return nullptr;
    return _wcsdup(value);  // none when the copy cannot be made
}

u16* get_env_var(const char* name) {
    u16 wide_name[VARIABLE_NAME_CAPACITY];
    widen_variable_name(name, wide_name);
    return get_env_var_wide(wide_name);
}

bool set_env_var(const char* name, const u16* value) {
    u16 wide_name[VARIABLE_NAME_CAPACITY];
    widen_variable_name(name, wide_name);
    return win32.SetEnvironmentVariableW(wide_name, value) != FALSE;
}

bool unset_env_var(const char* name) {
    u16 wide_name[VARIABLE_NAME_CAPACITY];
    widen_variable_name(name, wide_name);
    return win32.SetEnvironmentVariableW(wide_name, nullptr) != FALSE;
}
