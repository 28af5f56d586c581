// The outside project's application: prints its arguments and the data file
// packed beside it, and ends with a status the test checks.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllimport) int outside_status();

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&run_code), &self);
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    while (length > 0 && path[length - 1] != L'\\') --length;
    lstrcpyW(path + length, L"notes\\greeting.txt");
    std::printf("outside: %d arguments, last %ls\n", argc, argc > 0 ? argv[argc - 1] : L"-");
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) return 1;
    char text[128] = {};
    std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::printf("data: %s", text);
    std::fflush(stdout);
    return outside_status();
}
