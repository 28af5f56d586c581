// Narrowing of wide paths for the failure messages. Platform-free.
#include "diagnostics/failure.h"

namespace {

bool is_high_surrogate(u16 unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(u16 unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void narrow_for_message(const u16* text, char* out, size_t capacity) {
    if (capacity == 0) return;
    size_t written = 0;
    for (; *text != 0 && written + 1 < capacity; ++text) {
        u16 unit = *text;
        if (unit < 0x80) {
            out[written++] = static_cast<char>(unit);
            continue;
        }
        // One character, one mark: a surrogate pair stands for one character.
        if (is_high_surrogate(unit) && is_low_surrogate(text[1])) ++text;
        out[written++] = '?';
    }
    out[written] = 0;
}
