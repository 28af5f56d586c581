// A child process for the console handler tests: sleeps for argv[1]
// milliseconds and ends with status 7, so a status of 0 shows it was
// terminated instead.
#include <windows.h>

#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    Sleep(argc > 1 ? static_cast<DWORD>(wcstoul(argv[1], nullptr, 10)) : 60000);
    return 7;
}
