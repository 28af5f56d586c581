// The outside project's application: prints its arguments, a checksum from
// Debian's mingw zlib and the data file packed beside it, and ends with a
// status the test checks. It links the C++ runtime as a DLL, so the packed
// file carries libstdc++ and what that imports, found by the package.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <string>

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
    const std::string name = "outside";
    std::printf("zlib: crc32 %08lx\n", crc32(0, reinterpret_cast<const Bytef*>(name.data()), name.size()));
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) return 1;
    char text[128] = {};
    std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::printf("data: %s", text);
    std::fflush(stdout);
    return outside_status();
}
