// Widening of ASCII variable names. Platform-free: the Win32 access to the
// environment lives in environment_win32.cpp.
#include "platform/environment.h"

#include "platform/bounded_buffer.h"

void widen_variable_name(const char* name, u16 (&wide_name)[VARIABLE_NAME_CAPACITY]) {
    bounded_buffer::cleared(wide_name, VARIABLE_NAME_CAPACITY).append_widened(name);
}
