// The launcher with a simulated cost on every close of a file, through the
// Win32 table, as real-time antivirus scanning adds it (1 to 10 ms a file),
// and the number of closing threads chosen by the benchmark. Never shipped.
//   BENCH_CLOSE_COST_MS   milliseconds each close of a file waits (default 0)
//   BENCH_CLOSE_THREADS   closing threads of extraction (default the launcher's)
//   BENCH_NO_FLUSH        1: nothing is put on the disk (every flush and syncfs
//                         succeeds at once), a cache's first start as it was
//                         before caches were made durable
#include <cstdlib>

#include "launcher/launcher.h"

namespace {

DWORD close_cost_ms = 0;

BOOL WINAPI costly_close(HANDLE handle) {
    if (GetFileType(handle) == FILE_TYPE_DISK) Sleep(close_cost_ms);
    return win32_system.CloseHandle(handle);
}

BOOL WINAPI no_flush(HANDLE) { return TRUE; }

constexpr long long LINUX_SYNCFS = 306;

long long no_syncfs(long long number, long long first, long long second, long long third, long long fourth) {
    if (number == LINUX_SYNCFS) return 0;
    return win32_system.linux_call(number, first, second, third, fourth);
}

bool read_number(const wchar_t* name, unsigned long& value) {
    wchar_t text[32];
    DWORD length = GetEnvironmentVariableW(name, text, 32);
    if (length == 0 || length >= 32) return false;
    value = wcstoul(text, nullptr, 10);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    unsigned long value = 0;
    if (read_number(L"BENCH_CLOSE_COST_MS", value) && value > 0) {
        close_cost_ms = static_cast<DWORD>(value);
        win32.CloseHandle = costly_close;
    }
    if (read_number(L"BENCH_NO_FLUSH", value) && value == 1) {
        win32.FlushFileBuffers = no_flush;
        win32.linux_call = no_syncfs;
    }
    if (read_number(L"BENCH_CLOSE_THREADS", value)) set_extraction_close_threads(static_cast<int>(value));
    return launcher_main();
}
