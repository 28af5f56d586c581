// A library that loads but does not export run_code: the launcher's child
// must report the missing entry point.
#include <windows.h>

extern "C" __declspec(dllexport) int run_something_else(int argc, wchar_t**) { return argc; }
