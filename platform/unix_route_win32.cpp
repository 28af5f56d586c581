// The Unix side of a handle under Wine on a Linux host. Win32 calls through
// `win32` only.
#include "platform/unix_route_win32.h"

namespace {
constexpr NTSTATUS STATUS_OK = 0;
}

bool unix_route() { return win32.wine_server_handle_to_fd != nullptr && win32.linux_call != nullptr; }

int descriptor_of(HANDLE handle) {
    int descriptor = NO_DESCRIPTOR;
    unsigned int options = 0;
    if (win32.wine_server_handle_to_fd(handle, 0, &descriptor, &options) != STATUS_OK) return NO_DESCRIPTOR;
    return descriptor;
}

void close_descriptor(int& descriptor) {
    if (descriptor >= 0) win32.linux_call(LINUX_CLOSE, descriptor, 0, 0, 0);
    descriptor = NO_DESCRIPTOR;
}

long long status_of_name(int folder, const char* name, linux_status& status) {
    return win32.linux_call(LINUX_NEWFSTATAT, folder, reinterpret_cast<long long>(name),
                            reinterpret_cast<long long>(&status), AT_NO_FOLLOW);
}

bool host_name(const u16* name, char* out, size_t capacity) {
    size_t at = 0;
    for (size_t index = 0; name[index] != 0; ++index) {
        uint32_t unit = name[index];
        if (unit >= 0xF000 && unit < 0xF100) return false;
        if (unit >= 0xD800 && unit < 0xDC00) {
            uint32_t low = name[index + 1];
            if (low < 0xDC00 || low >= 0xE000) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++index;
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            return false;
        }
        if (at + 5 > capacity) return false;
        if (unit < 0x80) {
            out[at++] = static_cast<char>(unit);
        } else if (unit < 0x800) {
            out[at++] = static_cast<char>(0xC0 | (unit >> 6));
            out[at++] = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0x10000) {
            out[at++] = static_cast<char>(0xE0 | (unit >> 12));
            out[at++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out[at++] = static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out[at++] = static_cast<char>(0xF0 | (unit >> 18));
            out[at++] = static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
            out[at++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out[at++] = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    out[at] = 0;
    return at > 0;
}

