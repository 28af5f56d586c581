// Checked appends and copies for fixed-capacity UTF-16 buffers.
#include "platform/bounded_buffer.h"

#include <cstdlib>

#include "platform/end_abnormally.h"

bounded_buffer bounded_buffer::cleared(u16* units, size_t capacity) {
    if (capacity == 0) end_abnormally();
    units[0] = 0;
    return bounded_buffer{units, capacity, 0};
}

bounded_buffer bounded_buffer::existing(u16* units, size_t capacity) {
    size_t length = 0;
    while (length < capacity && units[length] != 0) ++length;
    if (length == capacity) end_abnormally();  // not terminated inside its capacity
    return bounded_buffer{units, capacity, length};
}

void bounded_buffer::append_unit(u16 unit) {
    if (!has_room_for(1)) end_abnormally();
    units[length++] = unit;
    units[length] = 0;
}

void bounded_buffer::append(const u16* text) {
    while (*text != 0) append_unit(*text++);
}

void bounded_buffer::append(const u16* text, size_t count) {
    for (size_t i = 0; i < count; ++i) append_unit(text[i]);
}

void bounded_buffer::append_widened(const char* bytes) {
    for (; *bytes != 0; ++bytes) {
        // One byte at a time, so a byte the locale cannot turn into exactly
        // one unit is caught instead of shifting the text.
        const char byte_text[2] = {*bytes, 0};
        wchar_t unit[2] = {0, 0};
        if (std::mbstowcs(unit, byte_text, 2) != 1) end_abnormally();
        append_unit(static_cast<u16>(unit[0]));
    }
}

void bounded_buffer::truncate(size_t new_length) {
    if (new_length < length) {
        length = new_length;
        units[length] = 0;
    }
}

void bounded_copy(u16* destination, const u16* source, size_t capacity) {
    size_t i = 0;
    for (;; ++i) {
        if (i >= capacity) end_abnormally();
        u16 unit = source[i];
        destination[i] = unit;
        if (unit == 0) return;
    }
}
