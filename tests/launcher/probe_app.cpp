// The application library the end-to-end tests pack as main.dll. Its
// arguments are a small script that tells it what to do, so one library
// serves every case:
//   report FILE    write what this process sees to FILE (see probe_report.h)
//   sleep MS       pause
//   await FILE     pause until FILE exists (at most a minute), so a test can
//                  hold several instances running and then release them
//   exit N         return N (any 32-bit value, decimal or 0x hex)
//   crash          write through an invalid pointer (access violation)
//   nested FILE    start argv[0] again with "report FILE" and return its status
//   say TEXT       write TEXT and a line break on standard output (UTF-8)
//   copy-input     copy standard input to standard output until it ends
//   mark FILE      create FILE (to tell a test this point is reached)
//   console        say "console processes N", N the processes sharing its console
//   on-break N     end with status N on Ctrl+C or Ctrl+Break
//   --             stop; the rest of the arguments are data for the test
// Without "exit" it returns 0.
#include <windows.h>

#include <cwchar>
#include <cstdlib>
#include <string>

#include "tests/launcher/probe_report.h"

namespace {

std::wstring environment_value(const wchar_t* name, bool& present) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    present = size != 0;
    if (!present) return std::wstring();
    std::wstring value(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], size);
    value.resize(length);
    return value;
}

std::wstring own_module_path() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_module_path), &self);
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(self, &path[0], 32768));
    return path;
}

std::wstring current_directory() {
    std::wstring path(32768, L'\0');
    path.resize(GetCurrentDirectoryW(32768, &path[0]));
    return path;
}

void add_record(std::wstring& out, const wchar_t* key, const std::wstring& value) {
    out += key;
    out += L'\0';
    out += value;
    out += L'\0';
}

// Written to a temporary name and renamed, so a test that polls for the file
// never reads half of it.
bool write_report(const wchar_t* file, int argc, wchar_t** argv) {
    std::wstring report;
    add_record(report, REPORT_ARGC, std::to_wstring(argc));
    for (int index = 0; index < argc; ++index)
        add_record(report, (REPORT_ARGV_PREFIX + std::to_wstring(index)).c_str(), argv[index]);
    for (const wchar_t* name : REPORT_VARIABLES) {
        bool present = false;
        std::wstring value = environment_value(name, present);
        if (present) add_record(report, name, value);
    }
    add_record(report, REPORT_CURRENT_DIRECTORY, current_directory());
    add_record(report, REPORT_MODULE, own_module_path());
    add_record(report, REPORT_PROCESS_ID, std::to_wstring(GetCurrentProcessId()));

    std::wstring partial = std::wstring(file) + L".partial";
    HANDLE out = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    DWORD size = static_cast<DWORD>(report.size() * sizeof(wchar_t));
    bool ok = WriteFile(out, report.data(), size, &written, nullptr) && written == size;
    CloseHandle(out);
    return ok && MoveFileExW(partial.c_str(), file, MOVEFILE_REPLACE_EXISTING);
}

// Starts the same launcher executable again, as an application that runs
// helper copies of itself would, and returns the nested instance's status.
int start_nested(const wchar_t* launcher_path, const wchar_t* report_file) {
    std::wstring command_line =
        L"\"" + std::wstring(launcher_path) + L"\" report \"" + report_file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(launcher_path, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return PROBE_STATUS_NESTED_FAILED;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = PROBE_STATUS_NESTED_FAILED;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

void write_output(const char* bytes, DWORD size) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, size, &written, nullptr);
}

void say(const wchar_t* text) {
    char bytes[4096];
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 2, nullptr, nullptr);
    if (size <= 0) return;
    bytes[size - 1] = '\r';
    bytes[size] = '\n';
    write_output(bytes, static_cast<DWORD>(size + 1));
}

void copy_input() {
    char buffer[4096];
    DWORD size = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &size, nullptr) && size > 0)
        write_output(buffer, size);
}

DWORD break_status = 0;
BOOL WINAPI end_on_break(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    ExitProcess(break_status);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
    int status = 0;
    for (int index = 1; index < argc; ++index) {
        std::wstring command = argv[index];
        bool has_operand = index + 1 < argc;
        if (command == L"--") break;
        if (command == L"crash") {
            // Read through a volatile so the compiler cannot see the address
            // and replace the store by a trap instruction.
            int* volatile target = reinterpret_cast<int*>(16);
            *target = 1;
        } else if (command == L"report" && has_operand) {
            if (!write_report(argv[++index], argc, argv)) return PROBE_STATUS_REPORT_FAILED;
        } else if (command == L"sleep" && has_operand) {
            Sleep(static_cast<DWORD>(wcstoul(argv[++index], nullptr, 10)));
        } else if (command == L"await" && has_operand) {
            const wchar_t* file = argv[++index];
            // A deadline by the clock, not a count of pauses: under load a
            // pause lasts far longer than asked, and a probe a failed test
            // never released must not outlive it holding the test's output.
            ULONGLONG deadline = GetTickCount64() + 60000;
            while (GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline)
                Sleep(10);
        } else if (command == L"exit" && has_operand) {
            return static_cast<int>(wcstoul(argv[++index], nullptr, 0));
        } else if (command == L"say" && has_operand) {
            say(argv[++index]);
        } else if (command == L"console") {
            DWORD processes[64];
            say((L"console processes " + std::to_wstring(GetConsoleProcessList(processes, 64))).c_str());
        } else if (command == L"copy-input") {
            copy_input();
        } else if (command == L"mark" && has_operand) {
            HANDLE marker = CreateFileW(argv[++index], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
        } else if (command == L"on-break" && has_operand) {
            break_status = static_cast<DWORD>(wcstoul(argv[++index], nullptr, 0));
            SetConsoleCtrlHandler(end_on_break, TRUE);
        } else if (command == L"nested" && has_operand) {
            status = start_nested(argv[0], argv[++index]);
        } else {
            return PROBE_STATUS_BAD_SCRIPT;
        }
    }
    return status;
}
