// Two-process floor: bench_floor.exe LIBRARY starts itself once more with the
// same command line and inherited handles, waits, and returns the child's
// status; the child loads LIBRARY and calls run_code. This is what any
// launcher that runs the application in a child of its own pays at least.
#include <windows.h>

#include <cstdlib>

#include "bench_load.h"

namespace {
constexpr wchar_t CHILD_VARIABLE[] = L"BENCH_FLOOR_CHILD";
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (__argc < 2) return 2;
    if (GetEnvironmentVariableW(CHILD_VARIABLE, nullptr, 0) != 0) return load_and_run(__wargv[1]);

    SetEnvironmentVariableW(CHILD_VARIABLE, L"1");
    wchar_t self[4096];
    DWORD length = GetModuleFileNameW(nullptr, self, 4096);
    if (length == 0 || length >= 4096) return 2;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(self, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child))
        return 2;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(status);
}
