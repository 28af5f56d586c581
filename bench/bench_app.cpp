// The benchmarks' application library. run_code records the moment it is
// entered and returns at once, so a run measures the launcher and nothing else.
// BENCH_MARKER names a file that receives the time as a decimal FILETIME
// count (100 ns units since 1601, the system clock that Linux shares under
// Wine); without it run_code only returns. BENCH_HOLD_MS keeps the process
// alive that long afterwards, so the memory run can find it and read its peak.
// BENCH_FILES=N makes it do the file work of an application first: N files
// of 1 KiB written into a folder of its own in TEMP, then deleted.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

void file_work(unsigned count) {
    wchar_t folder[MAX_PATH + 64];
    DWORD length = GetTempPathW(MAX_PATH, folder);
    _snwprintf(folder + length, 64, L"bench_files_%lu", GetCurrentProcessId());
    CreateDirectoryW(folder, nullptr);
    char data[1024] = {};
    wchar_t path[MAX_PATH + 96];
    for (unsigned index = 0; index < count; ++index) {
        _snwprintf(path, MAX_PATH + 96, L"%ls\\f%u", folder, index);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, data, sizeof data, &written, nullptr);
        CloseHandle(file);
    }
    for (unsigned index = 0; index < count; ++index) {
        _snwprintf(path, MAX_PATH + 96, L"%ls\\f%u", folder, index);
        DeleteFileW(path);
    }
    RemoveDirectoryW(folder);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**) {
    wchar_t count[16];
    DWORD count_length = GetEnvironmentVariableW(L"BENCH_FILES", count, 16);
    if (count_length > 0 && count_length < 16) file_work(static_cast<unsigned>(_wtoi(count)));
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    wchar_t marker[4096];
    DWORD length = GetEnvironmentVariableW(L"BENCH_MARKER", marker, 4096);
    if (length == 0 || length >= 4096) return 0;

    char text[32];
    unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    int size = std::snprintf(text, sizeof text, "%llu\n", ticks);
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);

    wchar_t hold[16];
    length = GetEnvironmentVariableW(L"BENCH_HOLD_MS", hold, 16);
    if (length > 0 && length < 16) Sleep(static_cast<DWORD>(_wtoi(hold)));
    return ok ? 0 : 3;
}
