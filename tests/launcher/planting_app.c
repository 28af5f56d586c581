/* Application libraries and a program that load helper.dll and plugin.dll
   by name, as applications do: with DELAYED, run_code delay-loads
   helper.dll, loads plugin.dll with LoadLibraryW and tries absent.dll, which
   the payload does not hold; without it, helper.dll is an import of the
   library (or, with PROGRAM, of the program). Each copy returns its VALUE
   (the payload's 1), so the status tells whose code ran. */
#include <windows.h>

__declspec(dllimport) int helper_fn(void);

#ifdef PROGRAM
int main(void) { return helper_fn(); }
#else
__declspec(dllexport) int run_code(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
#ifdef DELAYED
    typedef int (*value_fn)(void);
    int status = helper_fn();
    HMODULE plugin = LoadLibraryW(L"plugin.dll");
    value_fn plugin_value = plugin != NULL ? (value_fn)(void*)GetProcAddress(plugin, "plugin_fn") : NULL;
    status += plugin_value != NULL ? 10 * plugin_value() : 0;
    /* Whatever the system's search finds, never a copy beside the launcher. */
    if (LoadLibraryW(L"absent.dll") != NULL) status += 100;
    return status;
#else
    return helper_fn();
#endif
}
#endif
