// The run library (onefile-run.dll): the application library that
// `onefile-pack pack --run PROGRAM` puts first. Its run_code starts PROGRAM
// from the run directory and returns its exit status. Win32 calls, the C
// library and the launcher's argument quoting only: no C++ runtime.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "format/shared_names.h"
#include "format/archive_format.h"
#include "format/little_endian.h"
#include "platform/bounded_buffer.h"
#include "platform/command_line.h"

namespace {

// The payload entry beside this library that names the program (UTF-8): what
// the packer writes, read back here.
constexpr auto PROGRAM_ENTRY_NAME = in_units<wchar_t>(RUN_PROGRAM_ENTRY);
// An entry name takes at most three UTF-8 bytes a unit.
constexpr DWORD PROGRAM_NAME_BYTES = 3 * MAX_ENTRY_NAME_UNITS;
constexpr size_t PROGRAM_PATH_CAPACITY = 4096;
constexpr WORD SUBSYSTEM_WINDOWS_GUI = 2;
constexpr size_t HEADER_BYTES = 1024;
constexpr auto WINDOW_CLASS_NAME = in_units<wchar_t>(PROGRESS_WINDOW_CLASS);
constexpr DWORD PROCESS_ID_DIGITS = 16;

wchar_t library_directory[PROGRAM_PATH_CAPACITY];
wchar_t program_path[PROGRAM_PATH_CAPACITY];
wchar_t command_line[CHILD_COMMAND_LINE_CAPACITY];
char program_name[PROGRAM_NAME_BYTES + 1];
HANDLE program = nullptr;

// One line on standard error, "Error, <text> (<name>) ([Error N] <system text>)",
// or in a box for a launcher whose streams reach nobody; then status 2.
int fail(const char* text, DWORD code) {
    char* system_text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, 1033, reinterpret_cast<char*>(&system_text), 0, nullptr);
    while (length > 0 && (system_text[length - 1] == '\r' || system_text[length - 1] == '\n' ||
                          system_text[length - 1] == ' '))
        system_text[--length] = 0;
    char line[PROGRAM_NAME_BYTES + 512];
    snprintf(line, sizeof line, "Error, %s (%s) ([Error %ld] %s)\n", text, program_name,
             static_cast<long>(code), length > 0 ? system_text : "unknown error");
    HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (error_stream == nullptr || error_stream == INVALID_HANDLE_VALUE ||
        !WriteFile(error_stream, line, static_cast<DWORD>(strlen(line)), &written, nullptr)) {
        HMODULE user32 = LoadLibraryW(L"user32.dll");
        auto box = reinterpret_cast<decltype(&MessageBoxA)>(
            reinterpret_cast<void*>(user32 ? GetProcAddress(user32, "MessageBoxA") : nullptr));
        if (box != nullptr) box(nullptr, line, "Error", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    }
    return FAILURE_EXIT_STATUS;
}

// The error of the call that has just failed (the system leaves none now
// and then).
DWORD failure() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND;
}

// This library's directory (the run directory) and the program's path in it:
// ERROR_SUCCESS, or the error of the step that failed, read before any other
// call can change it.
DWORD find_program() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&find_program), &self))
        return failure();
    DWORD length = GetModuleFileNameW(self, library_directory, PROGRAM_PATH_CAPACITY);
    if (length == 0) return failure();
    if (length >= PROGRAM_PATH_CAPACITY) return ERROR_INSUFFICIENT_BUFFER;
    while (length > 0 && library_directory[length - 1] != L'\\') --length;
    if (length == 0) return ERROR_BAD_PATHNAME;
    library_directory[length - 1] = 0;

    bounded_buffer entry_path = bounded_buffer::cleared(program_path, PROGRAM_PATH_CAPACITY);
    entry_path.append(library_directory);
    entry_path.append(L"\\");
    entry_path.append(PROGRAM_ENTRY_NAME);
    HANDLE file = CreateFileW(program_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failure();
    DWORD size = 0;
    DWORD read_error = ReadFile(file, program_name, PROGRAM_NAME_BYTES, &size, nullptr) ? ERROR_SUCCESS : failure();
    CloseHandle(file);
    if (read_error != ERROR_SUCCESS) return read_error;
    if (size == 0) return ERROR_FILE_NOT_FOUND;  // an empty entry names no program
    program_name[size] = 0;

    wchar_t name[PROGRAM_NAME_BYTES + 1];
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, program_name, static_cast<int>(size), name,
                                    PROGRAM_NAME_BYTES);
    if (units <= 0) return failure();
    name[units] = 0;
    bounded_buffer path = bounded_buffer::cleared(program_path, PROGRAM_PATH_CAPACITY);
    path.append(library_directory);
    path.append(L"\\");
    path.append(name);
    return ERROR_SUCCESS;
}

bool is_windowed_program() {
    HANDLE file = CreateFileW(program_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    unsigned char header[HEADER_BYTES];
    DWORD size = 0;
    BOOL read = ReadFile(file, header, sizeof header, &size, nullptr);
    CloseHandle(file);
    if (!read || size < 0x40) return false;
    DWORD pe = load_le32(header + 0x3C);
    DWORD subsystem_at = pe + 24 + 68;
    if (pe > size || subsystem_at + 2 > size) return false;
    return load_le16(header + subsystem_at) == SUBSYSTEM_WINDOWS_GUI;
}

// A windowed program gets what the parent gave this process: the right to
// take the foreground, and the progress window closing with its first
// window (the window watches this process's windows only, so it is told of
// the program's). user32 comes in for a windowed program alone.
void hand_over_to_windowed_program(DWORD program_id, DWORD parent_id) {
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (user32 == nullptr) return;
    auto allow = reinterpret_cast<decltype(&AllowSetForegroundWindow)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "AllowSetForegroundWindow")));
    auto find = reinterpret_cast<decltype(&FindWindowExW)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "FindWindowExW")));
    auto owner_of = reinterpret_cast<decltype(&GetWindowThreadProcessId)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetWindowThreadProcessId")));
    auto post = reinterpret_cast<decltype(&PostMessageW)>(
        reinterpret_cast<void*>(GetProcAddress(user32, "PostMessageW")));
    if (allow != nullptr) allow(program_id);
    if (find == nullptr || owner_of == nullptr || post == nullptr || parent_id == 0) return;
    for (HWND window = find(nullptr, nullptr, WINDOW_CLASS_NAME, nullptr); window != nullptr;
         window = find(nullptr, window, WINDOW_CLASS_NAME, nullptr)) {
        DWORD owner = 0;
        owner_of(window, &owner);
        if (owner == parent_id) post(window, PROGRESS_WATCH_PROCESS_MESSAGE, program_id, 0);
    }
}

// The launcher's parent, which stays for this process's whole life, unless
// its id has been given to a process made since (then it has ended).
HANDLE open_parent(DWORD& parent_id) {
    parent_id = 0;
    // The launcher's parent, which the child found by this variable: its
    // decimal id, ASCII in any code page.
    char text[PROCESS_ID_DIGITS];
    DWORD length = GetEnvironmentVariableA(PARENT_VARIABLE, text, PROCESS_ID_DIGITS);
    if (length == 0 || length >= PROCESS_ID_DIGITS) return nullptr;
    parent_id = strtoul(text, nullptr, 10);
    HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
    if (parent == nullptr) return nullptr;
    FILETIME parent_created, own_created, unused;
    if (!GetProcessTimes(parent, &parent_created, &unused, &unused, &unused) ||
        !GetProcessTimes(GetCurrentProcess(), &own_created, &unused, &unused, &unused) ||
        CompareFileTime(&parent_created, &own_created) > 0) {
        CloseHandle(parent);
        return nullptr;
    }
    return parent;
}

// The program shares this process's console and gets its events itself; this
// process waits for it, whatever the event, instead of ending first. For a
// closing console the system ends this process when the handler returns, so
// the handler waits for the program's own ending first.
BOOL WINAPI wait_for_program(DWORD control_type) {
    if (control_type != CTRL_C_EVENT && control_type != CTRL_BREAK_EVENT && program != nullptr)
        WaitForSingleObject(program, INFINITE);
    return TRUE;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argument_count, wchar_t** argument_vector) {
    DWORD error = find_program();
    if (error != ERROR_SUCCESS) return fail("couldn't find the program to run", error);
    bounded_buffer line = bounded_buffer::cleared(command_line, CHILD_COMMAND_LINE_CAPACITY);
    join_command_line(line, program_path, argument_count, argument_vector);

    // Kill on close: whatever ends this process (the launcher's clean-up after
    // the grace period, Cancel, a kill) ends the program and what it started,
    // so nothing is left holding the run directory. A helper meant to outlive
    // it may break away. Without a job (the system refused one) the program
    // still runs and is waited for.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // With none at all (a windowed launcher started from the desktop), a
    // console program gets the handles of the console the system makes it.
    if (startup.hStdInput != nullptr || startup.hStdOutput != nullptr || startup.hStdError != nullptr)
        startup.dwFlags = STARTF_USESTDHANDLES;
    // From here on an event must not end this process before the program.
    SetConsoleCtrlHandler(wait_for_program, TRUE);
    // Suspended until it is in the job: nothing it starts can escape it.
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program_path, command_line, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &started))
        return fail("couldn't launch program", GetLastError());
    program = started.hProcess;
    if (job != nullptr) AssignProcessToJobObject(job, program);
    DWORD parent_id = 0;
    HANDLE parent = open_parent(parent_id);
    if (is_windowed_program()) hand_over_to_windowed_program(started.dwProcessId, parent_id);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);

    HANDLE waited[2] = {program, parent};
    DWORD which = WaitForMultipleObjects(parent != nullptr ? 2 : 1, waited, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) {
        // The launcher is gone: so goes the program, with the job.
        if (job != nullptr) TerminateJobObject(job, ORPHANED_PROGRAM_STATUS);
        else TerminateProcess(program, ORPHANED_PROGRAM_STATUS);
        return static_cast<int>(ORPHANED_PROGRAM_STATUS);
    }
    DWORD status = FAILURE_EXIT_STATUS;
    if (!GetExitCodeProcess(program, &status)) status = UNREADABLE_EXIT_STATUS;
    return static_cast<int>(status);
}
