// Fault injection and call recording for a test-only build of the launcher
// (launcher_faults.exe). The product never links this: it replaces entries
// of the `win32` table before launcher_main runs.
//
// ONEFILE_TEST_FAULTS is a comma-separated list of items
//     [role:]Function[(name)]@N[+][~][:code|~MS]
//   role      parent (the start the test made) or child (the start that
//             one made); both when absent. Later starts run without faults
//             and without a report.
//   Function  any function of the `win32` list (platform/win32_api.h) that
//             can fail; a failed call returns what the list says
//   (name)    GetProcAddress only: count just the lookups of this name
//   @N        the Nth call fails; @N+ the Nth and every later one
//   :code     the value SetLastError gets (default 31, ERROR_GEN_FAILURE)
//   ~MS       instead of failing, the chosen calls wait MS milliseconds and
//             are then made (to stretch a phase, such as unpacking)
//   ~         instead of failing, the call waits before it runs: it makes
//             the file <report>.paused and goes on once <report>.resume
//             exists (a minute at most), so a test can act at that moment
// and the one pseudo-function
//     [role:]console@MS
//   which calls console_control_handler(CTRL_C_EVENT) on a thread of its own
//   MS milliseconds after start; when the handler does not handle it, the
//   process ends as by the system's default handler (ExitProcess with
//   STATUS_CONTROL_C_EXIT).
//
// ONEFILE_TEST_REPORT names a file that receives, when the process ends
// (normal end, exit status 2, or after the console event), what the table
// saw: the calls of every function of the list, the pauses, the entries
// the handler's thread removed and every misuse of a handle (a use or a
// close after close, a close while another thread uses it) and every close
// of a Unix descriptor the launcher was not handed.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

constexpr wchar_t FAULTS_VARIABLE[] = L"ONEFILE_TEST_FAULTS";
constexpr wchar_t REPORT_VARIABLE[] = L"ONEFILE_TEST_REPORT";
// Set by the fault module for the starts a launcher makes: 1 in its child.
constexpr wchar_t GENERATION_VARIABLE[] = L"ONEFILE_TEST_GENERATION";
constexpr DWORD DEFAULT_FAULT_CODE = ERROR_GEN_FAILURE;

// Reads both variables and installs the wrappers; false (and nothing
// installed) when the fault list cannot be parsed or names a function that
// is not in the list or cannot fail.
bool install_faults_from_environment();

// Parsing, shared with the tests so they can check what a fault list means.
struct fault_item {
    std::wstring role;      // L"", L"parent" or L"child"
    std::wstring function;
    std::string filter;     // GetProcAddress name filter
    long index = 0;         // 1-based call number, or the pause for console
    bool from_then_on = false;
    DWORD code = DEFAULT_FAULT_CODE;
    DWORD hold_ms = 0;
    bool pause = false;
};
bool parse_fault_item(const std::wstring& text, fault_item& item);

// The functions of the `win32` list, in its order, and whether a fault list
// may name each (a few cannot fail).
struct listed_function {
    const char* name;
    bool can_fail;
};
std::vector<listed_function> listed_functions();
