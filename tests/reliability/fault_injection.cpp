// The wrappers that launcher_faults.exe puts into the `win32` table: each one
// counts its calls, fails the chosen ones with the chosen error, and records
// what happens to every handle the launcher opens. Test code only.
#include "tests/reliability/fault_injection.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "launcher/launcher.h"

namespace {

enum function_id {
    F_CreateFileW, F_WriteFile, F_CreateDirectoryW, F_CreateProcessW, F_GetExitCodeProcess,
    F_SetConsoleCtrlHandler, F_LoadLibraryExW, F_GetProcAddress, F_FindResourceA,
    F_LoadResource, F_LockResource, F_GetModuleFileNameW, F_SHFileOperationW,
    F_WaitForSingleObject, F_DuplicateHandle, F_OpenProcess, F_K32GetModuleFileNameExW,
    F_GetFileAttributesW, F_TerminateProcess, F_CloseHandle, F_Sleep, F_AddDllDirectory,
    F_NtSetInformationFile, F_COUNT
};

const wchar_t* const function_names[F_COUNT] = {
    L"CreateFileW", L"WriteFile", L"CreateDirectoryW", L"CreateProcessW",
    L"GetExitCodeProcess", L"SetConsoleCtrlHandler", L"LoadLibraryExW", L"GetProcAddress",
    L"FindResourceA", L"LoadResource", L"LockResource", L"GetModuleFileNameW",
    L"SHFileOperationW", L"WaitForSingleObject", L"DuplicateHandle", L"OpenProcess",
    L"K32GetModuleFileNameExW", L"GetFileAttributesW", L"TerminateProcess", L"CloseHandle",
    L"Sleep", L"AddDllDirectory", L"NtSetInformationFile"};

struct fault_slot {
    bool armed = false;
    long index = 0;
    bool from_then_on = false;
    bool pause = false;
    DWORD code = DEFAULT_FAULT_CODE;
    std::string filter;
    std::atomic<long> counted{0};  // calls that match the filter
};

fault_slot slots[F_COUNT];
std::atomic<long> all_calls[F_COUNT];
DWORD console_delay_ms = 0;
bool console_armed = false;
std::wstring report_path;
constexpr int PAUSE_POLLS = 6000;  // of 10 ms

// Makes <report>.paused and waits for <report>.resume.
void pause_here() {
    if (report_path.empty()) return;
    HANDLE paused = win32_system.CreateFileW((report_path + L".paused").c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (paused != INVALID_HANDLE_VALUE) win32_system.CloseHandle(paused);
    std::wstring resume = report_path + L".resume";
    for (int poll = 0; poll < PAUSE_POLLS && win32_system.GetFileAttributesW(resume.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++poll)
        win32_system.Sleep(10);
}

// Counts the call and tells whether this one is to fail; sets the error.
// A call chosen to pause waits here and then runs.
bool should_fail(function_id id) {
    ++all_calls[id];
    fault_slot& slot = slots[id];
    long number = ++slot.counted;
    if (!slot.armed) return false;
    if (number == slot.index || (slot.from_then_on && number >= slot.index)) {
        if (slot.pause) {
            pause_here();
            return false;
        }
        SetLastError(slot.code);
        return true;
    }
    return false;
}

// --- handle bookkeeping -----------------------------------------------------

CRITICAL_SECTION lock;
struct handle_record {
    bool open;
    int in_use;
    const char* opened_by;
};
std::map<HANDLE, handle_record> handles;
std::vector<std::string> misuses;
std::vector<DWORD> pauses;
std::atomic<DWORD> handler_thread_id{0};
std::atomic<long> handler_deletions{0};
std::atomic<bool> handler_started{false}, handler_finished{false};
DWORD child_process_id = 0;

struct locked {
    locked() { EnterCriticalSection(&lock); }
    ~locked() { LeaveCriticalSection(&lock); }
};

void opened(HANDLE handle, const char* by) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    locked hold;
    handles[handle] = {true, 0, by};
}

// Handles the launcher never opened through the table (pseudo handles,
// standard handles) are not judged.
void begin_use(HANDLE handle, const char* call) {
    locked hold;
    auto found = handles.find(handle);
    if (found == handles.end()) return;
    if (!found->second.open)
        misuses.push_back(std::string(call) + " after close of a handle from " +
                          found->second.opened_by);
    else
        ++found->second.in_use;
}

void end_use(HANDLE handle) {
    locked hold;
    auto found = handles.find(handle);
    if (found != handles.end() && found->second.in_use > 0) --found->second.in_use;
}

void closing(HANDLE handle) {
    locked hold;
    auto found = handles.find(handle);
    if (found == handles.end()) return;
    if (!found->second.open)
        misuses.push_back(std::string("second CloseHandle of a handle from ") +
                          found->second.opened_by);
    else if (found->second.in_use > 0)
        misuses.push_back(std::string("CloseHandle while in use, handle from ") +
                          found->second.opened_by);
    found->second.open = false;
}

bool on_handler_thread() { return GetCurrentThreadId() == handler_thread_id.load(); }

// --- the report ---------------------------------------------------------------

std::atomic<bool> report_written{false};
std::atomic<bool> report_complete{false};

void write_report_once(const char* ended_by);

// Both ends of the process may try; the first writes. The console thread
// must not end the process while the main thread's exit is still writing.
void write_report(const char* ended_by) {
    if (report_path.empty()) return;
    if (report_written.exchange(true)) {
        for (int waited = 0; !report_complete.load() && waited < 5000; ++waited)
            win32_system.Sleep(1);
        return;
    }
    write_report_once(ended_by);
    report_complete = true;
}

void write_report_once(const char* ended_by) {
    std::string text;
    char line[256];
    {
        locked hold;
        snprintf(line, sizeof line, "ended_by=%s\n", ended_by);
        text += line;
        for (int id = 0; id < F_COUNT; ++id) {
            snprintf(line, sizeof line, "calls.%ls=%ld\n", function_names[id], all_calls[id].load());
            text += line;
        }
        text += "pauses=";
        for (size_t i = 0; i < pauses.size(); ++i) {
            snprintf(line, sizeof line, "%s%lu", i == 0 ? "" : " ", pauses[i]);
            text += line;
        }
        text += "\n";
        snprintf(line, sizeof line, "handler_started=%d\nhandler_finished=%d\nhandler_deletions=%ld\n",
                 handler_started.load() ? 1 : 0, handler_finished.load() ? 1 : 0,
                 handler_deletions.load());
        text += line;
        snprintf(line, sizeof line, "child_process_id=%lu\n", child_process_id);
        text += line;
        int left_open = 0;
        for (const auto& entry : handles)
            if (entry.second.open) ++left_open;
        snprintf(line, sizeof line, "handles_left_open=%d\n", left_open);
        text += line;
        for (const std::string& misuse : misuses) text += "misuse=" + misuse + "\n";
    }
    HANDLE file = win32_system.CreateFileW(report_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    win32_system.WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    win32_system.CloseHandle(file);
}

void report_at_exit() { write_report("exit"); }

// The system's default handling after a handler that returns FALSE.
DWORD WINAPI console_event_thread(void*) {
    handler_thread_id = GetCurrentThreadId();
    win32_system.Sleep(console_delay_ms);
    handler_started = true;
    console_control_handler(CTRL_C_EVENT);
    handler_finished = true;
    write_report("console");
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// --- the wrappers ---------------------------------------------------------------

HANDLE WINAPI fault_CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
    if (should_fail(F_CreateFileW)) return INVALID_HANDLE_VALUE;
    HANDLE file = win32_system.CreateFileW(path, access, share, security, disposition, flags,
                                           template_file);
    opened(file, "CreateFileW");
    return file;
}

// The deleter's own handles, so a handle value the system hands out again
// is known as open again.
HANDLE WINAPI recorded_ReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags) {
    HANDLE file = win32_system.ReOpenFile(original, access, share, flags);
    if (file != INVALID_HANDLE_VALUE) opened(file, "ReOpenFile");
    return file;
}

NTSTATUS NTAPI recorded_NtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                   PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    NTSTATUS status = win32_system.NtOpenFile(handle, access, attributes, io, share, options);
    if (status == 0) opened(*handle, "NtOpenFile");
    return status;
}

BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    begin_use(file, "WriteFile");
    BOOL result = FALSE;
    if (!should_fail(F_WriteFile))
        result = win32_system.WriteFile(file, data, size, written, overlapped);
    DWORD error = GetLastError();
    end_use(file);
    SetLastError(error);
    return result;
}

BOOL WINAPI fault_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (should_fail(F_CreateDirectoryW)) return FALSE;
    return win32_system.CreateDirectoryW(path, security);
}

BOOL WINAPI fault_CreateProcessW(LPCWSTR application, LPWSTR command_line,
                                 LPSECURITY_ATTRIBUTES process_security,
                                 LPSECURITY_ATTRIBUTES thread_security, BOOL inherit,
                                 DWORD flags, LPVOID environment, LPCWSTR directory,
                                 LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
    if (should_fail(F_CreateProcessW)) return FALSE;
    BOOL result = win32_system.CreateProcessW(application, command_line, process_security,
                                              thread_security, inherit, flags, environment,
                                              directory, startup, information);
    if (result) {
        opened(information->hProcess, "CreateProcessW (process)");
        opened(information->hThread, "CreateProcessW (thread)");
        locked hold;
        child_process_id = information->dwProcessId;
    }
    return result;
}

BOOL WINAPI fault_GetExitCodeProcess(HANDLE process, LPDWORD status) {
    begin_use(process, "GetExitCodeProcess");
    BOOL result = FALSE;
    if (!should_fail(F_GetExitCodeProcess)) result = win32_system.GetExitCodeProcess(process, status);
    end_use(process);
    return result;
}

BOOL WINAPI fault_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    if (should_fail(F_SetConsoleCtrlHandler)) return FALSE;
    BOOL result = win32_system.SetConsoleCtrlHandler(routine, add);
    // The event can only arrive once a handler is registered.
    if (result && console_armed) {
        HANDLE thread = CreateThread(nullptr, 0, console_event_thread, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    return result;
}

HMODULE WINAPI fault_LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
    if (should_fail(F_LoadLibraryExW)) return nullptr;
    return win32_system.LoadLibraryExW(path, file, flags);
}

FARPROC WINAPI fault_GetProcAddress(HMODULE module, LPCSTR name) {
    const fault_slot& slot = slots[F_GetProcAddress];
    bool matches = slot.filter.empty() ||
                   (reinterpret_cast<uintptr_t>(name) > 0xFFFF && slot.filter == name);
    if (matches && should_fail(F_GetProcAddress)) return nullptr;
    if (!matches) ++all_calls[F_GetProcAddress];
    return win32_system.GetProcAddress(module, name);
}

HRSRC WINAPI fault_FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    if (should_fail(F_FindResourceA)) return nullptr;
    return win32_system.FindResourceA(module, name, type);
}

HGLOBAL WINAPI fault_LoadResource(HMODULE module, HRSRC resource) {
    if (should_fail(F_LoadResource)) return nullptr;
    return win32_system.LoadResource(module, resource);
}

LPVOID WINAPI fault_LockResource(HGLOBAL resource) {
    if (should_fail(F_LockResource)) return nullptr;
    return win32_system.LockResource(resource);
}

DWORD WINAPI fault_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
    if (should_fail(F_GetModuleFileNameW)) {
        if (size > 0) path[0] = 0;
        return 0;
    }
    return win32_system.GetModuleFileNameW(module, path, size);
}

int WINAPI fault_SHFileOperationW(LPSHFILEOPSTRUCTW request) {
    if (on_handler_thread()) ++handler_deletions;
    if (should_fail(F_SHFileOperationW)) return static_cast<int>(slots[F_SHFileOperationW].code);
    return win32_system.SHFileOperationW(request);
}

DWORD WINAPI fault_WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    begin_use(handle, "WaitForSingleObject");
    DWORD result = WAIT_FAILED;
    if (!should_fail(F_WaitForSingleObject))
        result = win32_system.WaitForSingleObject(handle, milliseconds);
    end_use(handle);
    return result;
}

BOOL WINAPI fault_DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                  LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
    begin_use(source, "DuplicateHandle");
    BOOL result = FALSE;
    if (!should_fail(F_DuplicateHandle)) {
        result = win32_system.DuplicateHandle(source_process, source, target_process, target,
                                              access, inherit, options);
        if (result) opened(*target, "DuplicateHandle");
    }
    end_use(source);
    return result;
}

HANDLE WINAPI fault_OpenProcess(DWORD access, BOOL inherit, DWORD process_id) {
    if (should_fail(F_OpenProcess)) return nullptr;
    HANDLE process = win32_system.OpenProcess(access, inherit, process_id);
    opened(process, "OpenProcess");
    return process;
}

DWORD WINAPI fault_K32GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR path,
                                           DWORD size) {
    begin_use(process, "K32GetModuleFileNameExW");
    DWORD result = 0;
    if (!should_fail(F_K32GetModuleFileNameExW))
        result = win32_system.K32GetModuleFileNameExW(process, module, path, size);
    end_use(process);
    return result;
}

DWORD WINAPI fault_GetFileAttributesW(LPCWSTR path) {
    if (should_fail(F_GetFileAttributesW)) return INVALID_FILE_ATTRIBUTES;
    return win32_system.GetFileAttributesW(path);
}

BOOL WINAPI fault_TerminateProcess(HANDLE process, UINT status) {
    begin_use(process, "TerminateProcess");
    BOOL result = FALSE;
    if (!should_fail(F_TerminateProcess)) result = win32_system.TerminateProcess(process, status);
    end_use(process);
    return result;
}

BOOL WINAPI fault_CloseHandle(HANDLE handle) {
    closing(handle);
    if (should_fail(F_CloseHandle)) return FALSE;
    return win32_system.CloseHandle(handle);
}

void WINAPI fault_Sleep(DWORD milliseconds) {
    ++all_calls[F_Sleep];
    {
        locked hold;
        pauses.push_back(milliseconds);
    }
    win32_system.Sleep(milliseconds);
}

// Not failed, only recorded: a new thread's handle may take the value of a
// handle closed before, which must not count as a use after close.
HANDLE WINAPI fault_CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD thread_id) {
    HANDLE thread = win32_system.CreateThread(security, stack, start, parameter, flags, thread_id);
    opened(thread, "CreateThread");
    return thread;
}

NTSTATUS NTAPI fault_NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                                          FILE_INFORMATION_CLASS type) {
    constexpr NTSTATUS ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
    if (should_fail(F_NtSetInformationFile)) return ACCESS_DENIED;
    return win32_system.NtSetInformationFile(file, io, information, size, type);
}

DLL_DIRECTORY_COOKIE WINAPI fault_AddDllDirectory(PCWSTR directory) {
    if (should_fail(F_AddDllDirectory)) return nullptr;
    return win32_system.AddDllDirectory(directory);
}

std::wstring environment_value(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::wstring();
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, &value[0], size));
    return value;
}

}  // namespace

bool parse_fault_item(const std::wstring& text, fault_item& item) {
    item = fault_item();
    std::wstring rest = text;
    size_t colon = rest.find(L':');
    size_t at = rest.find(L'@');
    if (at == std::wstring::npos) return false;
    if (colon != std::wstring::npos && colon < at) {
        item.role = rest.substr(0, colon);
        if (item.role != L"parent" && item.role != L"child") return false;
        rest = rest.substr(colon + 1);
        at = rest.find(L'@');
    }
    std::wstring function = rest.substr(0, at);
    size_t open = function.find(L'(');
    if (open != std::wstring::npos) {
        if (function.back() != L')') return false;
        for (wchar_t unit : function.substr(open + 1, function.size() - open - 2))
            item.filter += static_cast<char>(unit);
        function = function.substr(0, open);
    }
    item.function = function;
    std::wstring numbers = rest.substr(at + 1);
    wchar_t* end = nullptr;
    item.index = wcstol(numbers.c_str(), &end, 10);
    if (end == numbers.c_str() || item.index < 0) return false;
    if (*end == L'+') {
        item.from_then_on = true;
        ++end;
    }
    if (*end == L'~') {
        item.pause = true;
        ++end;
    }
    if (*end == L':') {
        wchar_t* code_end = nullptr;
        item.code = wcstoul(end + 1, &code_end, 0);
        if (code_end == end + 1) return false;
        end = code_end;
    }
    return *end == 0;
}

bool install_faults_from_environment() {
    InitializeCriticalSection(&lock);
    // The role as the launcher will decide it in every test start: a fresh
    // start has no TALVOR_ONEFILE_PARENT, the child inherits it.
    std::wstring role = environment_value(L"TALVOR_ONEFILE_PARENT").empty() ? L"parent" : L"child";
    std::wstring list = environment_value(FAULTS_VARIABLE);
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(L',', start);
        if (comma == std::wstring::npos) comma = list.size();
        fault_item item;
        if (!parse_fault_item(list.substr(start, comma - start), item)) return false;
        start = comma + 1;
        if (!item.role.empty() && item.role != role) continue;
        if (item.function == L"console") {
            console_armed = true;
            console_delay_ms = static_cast<DWORD>(item.index);
            continue;
        }
        int id = 0;
        while (id < F_COUNT && item.function != function_names[id]) ++id;
        if (id == F_COUNT) return false;
        slots[id].armed = true;
        slots[id].index = item.index;
        slots[id].from_then_on = item.from_then_on;
        slots[id].pause = item.pause;
        slots[id].code = item.code;
        slots[id].filter = item.filter;
    }

    report_path = environment_value(REPORT_VARIABLE);
    if (!report_path.empty()) {
        // The child writes its own report beside the parent's.
        if (role == L"child") report_path += L".child";
        atexit(report_at_exit);
    }

    win32.CreateFileW = fault_CreateFileW;
    win32.ReOpenFile = recorded_ReOpenFile;
    win32.NtOpenFile = recorded_NtOpenFile;
    win32.WriteFile = fault_WriteFile;
    win32.CreateDirectoryW = fault_CreateDirectoryW;
    win32.CreateProcessW = fault_CreateProcessW;
    win32.GetExitCodeProcess = fault_GetExitCodeProcess;
    win32.SetConsoleCtrlHandler = fault_SetConsoleCtrlHandler;
    win32.LoadLibraryExW = fault_LoadLibraryExW;
    win32.GetProcAddress = fault_GetProcAddress;
    win32.FindResourceA = fault_FindResourceA;
    win32.LoadResource = fault_LoadResource;
    win32.LockResource = fault_LockResource;
    win32.GetModuleFileNameW = fault_GetModuleFileNameW;
    win32.SHFileOperationW = fault_SHFileOperationW;
    win32.WaitForSingleObject = fault_WaitForSingleObject;
    win32.DuplicateHandle = fault_DuplicateHandle;
    win32.OpenProcess = fault_OpenProcess;
    win32.K32GetModuleFileNameExW = fault_K32GetModuleFileNameExW;
    win32.GetFileAttributesW = fault_GetFileAttributesW;
    win32.TerminateProcess = fault_TerminateProcess;
    win32.CloseHandle = fault_CloseHandle;
    win32.Sleep = fault_Sleep;
    win32.AddDllDirectory = fault_AddDllDirectory;
    win32.CreateThread = fault_CreateThread;
    win32.NtSetInformationFile = fault_NtSetInformationFile;
    return true;
}
