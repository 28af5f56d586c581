// The system's functions behind the launcher's Win32 table.
#include "platform/win32_api.h"

#include "platform/end_abnormally.h"

namespace {

// shell32 is loaded on first use instead of being imported: only the parent
// calls it, and loading it brings in user32 and its start-up, which made up
// most of the child's start under Wine 8 (about 40 of 65 ms). It is on the
// system's known-libraries list, so the name cannot pick up a planted copy.
template <typename Function>
Function shell32_function(const char* name) {
    static HMODULE shell32 = ::LoadLibraryW(L"shell32.dll");
    FARPROC found = shell32 != nullptr ? ::GetProcAddress(shell32, name) : nullptr;
    if (found == nullptr) end_abnormally();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

HRESULT WINAPI load_SHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags,
                                     LPWSTR path) {
    static auto function = shell32_function<decltype(&::SHGetFolderPathW)>("SHGetFolderPathW");
    return function(window, folder, token, flags, path);
}

LPWSTR* WINAPI load_CommandLineToArgvW(LPCWSTR line, int* count) {
    static auto function =
        shell32_function<decltype(&::CommandLineToArgvW)>("CommandLineToArgvW");
    return function(line, count);
}

// user32 only for a failure box: loading it costs the start-up of the window
// system, which a normal run never pays.
int WINAPI load_MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    static HMODULE user32 = ::LoadLibraryW(L"user32.dll");
    static auto function = reinterpret_cast<decltype(&::MessageBoxW)>(reinterpret_cast<void*>(
        user32 != nullptr ? ::GetProcAddress(user32, "MessageBoxW") : nullptr));
    return function != nullptr ? function(owner, text, caption, type) : 0;
}

// Wine on a Linux host only (the raw calls below are Linux's on x86-64):
// looked up once, on the main thread before any other runs, so that no
// thread of the deleter takes the loader's lock for it.
wine_server_handle_to_fd_fn find_wine_handle_to_fd() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    using host_version_fn = void(CDECL*)(const char**, const char**);
    auto host_version = reinterpret_cast<host_version_fn>(reinterpret_cast<void*>(
        ntdll != nullptr ? ::GetProcAddress(ntdll, "wine_get_host_version") : nullptr));
    if (host_version == nullptr) return nullptr;
    const char* system = nullptr;
    const char* release = nullptr;
    host_version(&system, &release);
    if (system == nullptr || lstrcmpA(system, "Linux") != 0) return nullptr;
    return reinterpret_cast<wine_server_handle_to_fd_fn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_server_handle_to_fd")));
}

// The kernel's calling convention on x86-64: number in rax, arguments in
// rdi, rsi, rdx, r10; rcx and r11 are clobbered; -errno comes back.
long long linux_call(long long number, long long first, long long second, long long third,
                     long long fourth) {
#if defined(__x86_64__)
    long long result;
    register long long r10 asm("r10") = fourth;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(first), "S"(second), "d"(third), "r"(r10)
                 : "rcx", "r11", "memory");
    return result;
#else
    (void)number, (void)first, (void)second, (void)third, (void)fourth;
    return -38;  // ENOSYS
#endif
}

#define SYSTEM_FUNCTION_SYSTEM(name) table.name = ::name;
#define SYSTEM_FUNCTION_LOADED(name) table.name = load_##name;
#define SYSTEM_FUNCTION_HOST(name)
#define SYSTEM_FUNCTION(kind, name, failure) SYSTEM_FUNCTION_##kind(name)

win32_api system_functions() {
    win32_api table = {};
    WIN32_FUNCTIONS(SYSTEM_FUNCTION)
    table.wine_server_handle_to_fd = find_wine_handle_to_fd();
    table.linux_call = table.wine_server_handle_to_fd != nullptr ? linux_call : nullptr;
    return table;
}

}  // namespace

const win32_api win32_system = system_functions();

win32_api win32 = win32_system;
