// One-process baseline: bench_direct.exe LIBRARY loads LIBRARY and calls its
// run_code, the least a launched application costs.
#include <windows.h>

#include <cstdlib>

#include "bench_load.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (__argc < 2) return 2;
    return load_and_run(__wargv[1]);
}
