// Entry of launcher_faults.exe: the launcher with the fault module's wrappers
// in its `win32` table. Test-only; the product's entry is launcher/entry.cpp.
#include <cstdio>

#include "launcher/launcher.h"
#include "tests/reliability/fault_injection.h"

// Far from every status the launcher or the probe application uses.
constexpr int BAD_FAULT_LIST_STATUS = 99;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (!install_faults_from_environment()) {
        std::fputs("launcher_faults: cannot parse ONEFILE_TEST_FAULTS\n", stderr);
        return BAD_FAULT_LIST_STATUS;
    }
    return launcher_main();
}
