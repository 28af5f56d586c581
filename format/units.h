// UTF-16 text units shared by the launcher (Windows) and its platform-free
// logic built natively for tests and fuzzing. No Win32 calls here.
#pragma once
#include <cstddef>
#include <cstdint>

// On Windows wchar_t is the 16-bit unit the system uses; on Linux wchar_t is
// 32 bits wide, so native builds of the platform-free code use char16_t.
#ifdef _WIN32
using u16 = wchar_t;
#define U16(text) L##text
#else
using u16 = char16_t;
#define U16(text) u##text
#endif

// Number of units before the terminator.
inline size_t u16_length(const u16* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// Unit-by-unit equality up to and including the terminator.
inline bool u16_equal(const u16* a, const u16* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (*a == 0) return true;
    }
}
