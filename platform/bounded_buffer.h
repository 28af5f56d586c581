// Fixed-capacity UTF-16 text: the one checked helper through which every
// write into a bounded buffer goes. Platform-free.
#pragma once
#include "format/units.h"

// Capacities, in UTF-16 units including the terminator.
constexpr size_t RUN_DIRECTORY_CAPACITY = 4096;
constexpr size_t TARGET_PATH_CAPACITY = 4096;
constexpr size_t FIRST_ENTRY_PATH_CAPACITY = 4096;
constexpr size_t OWN_MODULE_PATH_CAPACITY = 4096;
constexpr size_t OWN_IDENTITY_CAPACITY = 4097;
constexpr size_t OWN_MODULE_PATH_COPY_CAPACITY = 4097;
constexpr size_t EXECUTABLE_DIRECTORY_CAPACITY = 4097;
constexpr size_t PARENT_IDENTITY_CAPACITY = 2048;
constexpr size_t CHILD_COMMAND_LINE_CAPACITY = 32768;

// A view of a caller-owned buffer of `capacity` units. It holds at most
// capacity - 1 units of text and is terminated after every write. A unit for
// which there is no room besides the terminator ends the process abnormally.
struct bounded_buffer {
    u16* units;
    size_t capacity;
    size_t length;

    // Makes the buffer empty.
    static bounded_buffer cleared(u16* units, size_t capacity);
    // Takes the text already in the buffer; appends go after it.
    static bounded_buffer existing(u16* units, size_t capacity);

    bool has_room_for(size_t count) const { return length + count < capacity; }
    void append_unit(u16 unit);
    void append(const u16* text);
    void append(const u16* text, size_t count);
    // Appends narrow text, each byte converted alone by the runtime's
    // mbstowcs in the default locale; a byte that does not give exactly one
    // unit ends the process abnormally.
    void append_widened(const char* bytes);
    // Cuts the text to `new_length` units (never longer than it is).
    void truncate(size_t new_length);
};

// Copies `source` into `destination` (capacity units) and terminates it. The
// copy runs forward unit by unit, so the source may lie inside the destination
// at a higher position. Text that does not fit ends the process abnormally.
void bounded_copy(u16* destination, const u16* source, size_t capacity);
