// Win32 edge of executable identity: final-path resolution and short
// directory names through the call table. The prefix rules are platform-free
// (executable_identity.cpp).
#include "platform/executable_identity.h"

#include <cstdlib>
#include <cwchar>

#include "format/shared_names.h"
#include "platform/end_abnormally.h"
#include "platform/win32_api.h"

namespace {

constexpr DWORD FINAL_PATH_FLAGS = 0;  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS

// GetFinalPathNameByHandleW, or nullptr where the system lacks it.
GetFinalPathNameByHandleW_fn find_final_path_function() {
    HMODULE kernel = win32.GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) return nullptr;
    return reinterpret_cast<GetFinalPathNameByHandleW_fn>(
        reinterpret_cast<void*>(win32.GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
}

// Resolve mode; false, before anything is written, when the file cannot be
// opened.
bool try_resolve_final_path(u16* destination, const u16* source, uint32_t capacity) {
    HANDLE file = win32.CreateFileW(source, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // The copy is the result whenever the lookup gives nothing.
    bounded_copy(destination, source, capacity);
    DWORD count = 0;
    if (GetFinalPathNameByHandleW_fn final_path = find_final_path_function()) {
        count = final_path(file, destination, capacity, FINAL_PATH_FLAGS);
    }
    win32.CloseHandle(file);
    // A count that is not below the capacity is the size the path would need.
    if (count >= capacity) end_abnormally();
    strip_long_path_prefix(destination, source, capacity);
    return true;
}

uint32_t identity_capacity(size_t capacity) {
    if (capacity > UINT32_MAX) end_abnormally();
    return static_cast<uint32_t>(capacity);
}

}  // namespace

void resolve_final_path(u16* destination, const u16* source, uint32_t capacity, bool resolve) {
    if (!resolve) {
        bounded_copy(destination, source, capacity);
        return;
    }
    if (!try_resolve_final_path(destination, source, capacity)) end_abnormally();
}

void shorten_directory_part(u16* path, size_t capacity) {
    u16* last_backslash = std::wcsrchr(path, L'\\');
    u16* file_name = nullptr;
    if (last_backslash != nullptr) {
        *last_backslash = 0;
        file_name = _wcsdup(last_backslash + 1);
        // Dropping the name would turn the identity into its directory's and
        // let two different executables in one folder compare equal.
        if (file_name == nullptr) end_abnormally();
    }
    DWORD needed = win32.GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        u16* short_form = static_cast<u16*>(std::malloc((size_t{needed} + 1) * sizeof(u16)));
        if (short_form == nullptr) end_abnormally();
        short_form[0] = 0;
        short_form[needed] = 0;
        DWORD written = win32.GetShortPathNameW(path, short_form, needed);
        if (written > needed) end_abnormally();
        // 0: the directory went away between the two calls; the buffer then
        // holds nothing meaningful and the long form stays.
        if (written != 0) bounded_copy(path, short_form, capacity);
        std::free(short_form);
    }
    if (file_name != nullptr) {
        bounded_buffer result = bounded_buffer::existing(path, capacity);
        result.append_unit(L'\\');
        result.append(file_name);
        std::free(file_name);
    }
}

void make_executable_identity(u16* path, size_t capacity) {
    resolve_final_path(path, path, identity_capacity(capacity), true);
    shorten_directory_part(path, capacity);
}

bool try_make_executable_identity(u16* path, size_t capacity) {
    if (!try_resolve_final_path(path, path, identity_capacity(capacity))) return false;
    shorten_directory_part(path, capacity);
    return true;
}
