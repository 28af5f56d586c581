// Widening of ASCII variable names. Platform-free: the Win32 access to the
// environment lives in environment_win32.cpp.
#include "platform/environment.h"

#include <cstdlib>

#include "platform/end_abnormally.h"
#include "platform/bounded_buffer.h"

void widen_variable_name(const char* name, u16 (&wide_name)[VARIABLE_NAME_CAPACITY]) {
    bounded_buffer wide = bounded_buffer::cleared(wide_name, VARIABLE_NAME_CAPACITY);
    for (; *name != 0; ++name) {
        // One byte at a time, so a byte that the default locale cannot turn
        // into exactly one unit is caught instead of shifting the name.
        const char byte_text[2] = {*name, 0};
        wchar_t unit[2] = {0, 0};
        if (std::mbstowcs(unit, byte_text, 2) != 1) end_abnormally();
        wide.append_unit(static_cast<u16>(unit[0]));
    }
}
