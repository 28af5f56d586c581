// Access to the process environment by ASCII variable name: the handshake
// and child-information variables. Names are widened unit for unit.
#pragma once
#include "format/shared_names.h"
#include "format/units.h"

// A wide name holds at most 39 units and its terminator.
constexpr size_t VARIABLE_NAME_CAPACITY = 40;
// The platform's longest value (32,767 units) and its terminator.
constexpr size_t VARIABLE_VALUE_CAPACITY = 32768;

// Widens an ASCII name byte by byte through the runtime's mbstowcs in the
// default locale. A byte that does not give exactly one unit, or a name of
// more than 39 characters, ends the process abnormally. Platform-free.
void widen_variable_name(const char* name, u16 (&wide_name)[VARIABLE_NAME_CAPACITY]);

#ifdef _WIN32
// A new heap copy (release with free) of the variable's value, or nullptr when
// it is absent, empty, longer than 32,767 units, or cannot be copied.
u16* get_env_var_wide(const u16* wide_name);
u16* get_env_var(const char* name);
// SetEnvironmentVariableW's truth value; no caller examines it.
bool set_env_var(const char* name, const u16* value);
bool unset_env_var(const char* name);
#endif
