// The baselines' hand-off: the same calls the launcher's child makes.
#include "bench_load.h"

#include <windows.h>

#include <cstdlib>

int load_and_run(const wchar_t* path) {
    HMODULE library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) return 2;
    using run_code_fn = int (*)(int, wchar_t**);
    auto run_code = reinterpret_cast<run_code_fn>(
        reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) return 2;
    return run_code(__argc, __wargv);
}
