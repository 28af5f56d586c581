// Fault injection and call recording for a test-only build of the launcher
// (launcher_faults.exe). The product never links this: it replaces entries
// of the `win32` table before launcher_main runs.
//
// ONEFILE_TEST_FAULTS is a comma-separated list of items
//     [role:]Function[(name)]@N[+][~][:code]
//   role      parent or child (decided at start from TALVOR_ONEFILE_PARENT,
//             which the child inherits and a fresh start lacks); both when
//             absent
//   (name)    GetProcAddress only: count just the lookups of this name
//   @N        the Nth call fails; @N+ the Nth and every later one
//   ~         instead of failing, the call waits before it runs: it makes
//             the file <report>.paused and goes on once <report>.resume
//             exists (a minute at most), so a test can act at that moment
//   :code     the value SetLastError gets (default 31, ERROR_GEN_FAILURE)
// and the one pseudo-function
//     [role:]console@MS
//   which calls console_control_handler(CTRL_C_EVENT) on a thread of its own
//   MS milliseconds after start and then ends the process as the system's
//   default handler does (ExitProcess with STATUS_CONTROL_C_EXIT).
//
// ONEFILE_TEST_REPORT names a file that receives, when the process ends
// (normal end, exit status 2, or after the console event), what the table
// saw: call counts, the pauses, deletions made by the handler's thread and
// every misuse of a handle (a use or a close after close, a close while
// another thread uses it).
#pragma once
#include <windows.h>

#include <string>

constexpr wchar_t FAULTS_VARIABLE[] = L"ONEFILE_TEST_FAULTS";
constexpr wchar_t REPORT_VARIABLE[] = L"ONEFILE_TEST_REPORT";
constexpr DWORD DEFAULT_FAULT_CODE = ERROR_GEN_FAILURE;

// Reads both variables and installs the wrappers; false (and nothing
// installed) when the fault list cannot be parsed.
bool install_faults_from_environment();

// Parsing, shared with the tests so they can check what a fault list means.
struct fault_item {
    std::wstring role;      // L"", L"parent" or L"child"
    std::wstring function;
    std::string filter;     // GetProcAddress name filter
    long index = 0;         // 1-based call number, or the pause for console
    bool from_then_on = false;
    bool pause = false;
    DWORD code = DEFAULT_FAULT_CODE;
};
bool parse_fault_item(const std::wstring& text, fault_item& item);
