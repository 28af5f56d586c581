// The wrappers that launcher_faults.exe puts into the `win32` table, one for
// every entry of its list: each one counts its calls, fails the chosen ones
// with the chosen error, and those of the handles record what happens to
// every handle the launcher opens. Test code only.
#include "tests/reliability/fault_injection.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "launcher/launcher.h"

namespace {

// Every function of the `win32` list, by its place in it.
enum function_id {
#define FUNCTION_ID(kind, name, failure) F_##name,
    WIN32_FUNCTIONS(FUNCTION_ID)
#undef FUNCTION_ID
    F_COUNT
};

// What the list says of each function: its table entry and its failure.
template <function_id id>
struct listed;
#define LISTED(kind, name, failure)                                   \
    template <>                                                       \
    struct listed<F_##name> {                                         \
        using function = decltype(win32_api::name);                   \
        static constexpr auto member = &win32_api::name;              \
        static auto failure_value() { return failure; }               \
    };
WIN32_FUNCTIONS(LISTED)
#undef LISTED

template <function_id id>
constexpr bool can_fail =
    !std::is_same_v<decltype(listed<id>::failure_value()), never_fails>;

#define FUNCTION_ENTRY(kind, name, failure) {#name, can_fail<F_##name>},
const listed_function functions[F_COUNT] = {WIN32_FUNCTIONS(FUNCTION_ENTRY)};
#undef FUNCTION_ENTRY

struct fault_slot {
    bool armed = false;
    long index = 0;
    bool from_then_on = false;
    DWORD code = DEFAULT_FAULT_CODE;
    DWORD hold_ms = 0;  // the chosen calls wait this long and are then made
    bool pause = false;  // the chosen call waits for <report>.resume
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
        if (slot.hold_ms > 0) {
            win32_system.Sleep(slot.hold_ms);
            return false;
        }
        SetLastError(slot.code);
        return true;
    }
    return false;
}

// The wrapper every entry gets unless it has one of its own below: it
// counts the calls and fails the chosen ones.
template <function_id id, typename Function = typename listed<id>::function>
struct counted_call;
template <function_id id, typename Result, typename... Arguments>
struct counted_call<id, Result (*)(Arguments...)> {
    static Result WINAPI call(Arguments... arguments) {
        if constexpr (can_fail<id>) {
            if (should_fail(id)) return static_cast<Result>(listed<id>::failure_value());
        } else {
            ++all_calls[id];
        }
        return (win32_system.*listed<id>::member)(arguments...);
    }
};

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
            snprintf(line, sizeof line, "calls.%s=%ld\n", functions[id].name, all_calls[id].load());
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
    BOOL handled = console_control_handler(CTRL_C_EVENT);
    handler_finished = true;
    // Handled: the process goes on and ends by itself, as on Windows.
    if (handled) return 0;
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
HANDLE WINAPI fault_ReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags) {
    if (should_fail(F_ReOpenFile)) return INVALID_HANDLE_VALUE;
    HANDLE file = win32_system.ReOpenFile(original, access, share, flags);
    if (file != INVALID_HANDLE_VALUE) opened(file, "ReOpenFile");
    return file;
}

NTSTATUS NTAPI fault_NtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    if (should_fail(F_NtOpenFile)) return FAILED_STATUS;
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

// The launcher's handler, run for a real console event: <report>.handled
// tells a test that the event has been handled.
PHANDLER_ROUTINE launcher_handler = nullptr;
BOOL WINAPI recorded_handler(DWORD control_type) {
    BOOL handled = launcher_handler(control_type);
    if (!report_path.empty()) {
        HANDLE marker = win32_system.CreateFileW((report_path + L".handled").c_str(), GENERIC_WRITE, 0,
                                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) win32_system.CloseHandle(marker);
    }
    return handled;
}

BOOL WINAPI fault_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    if (should_fail(F_SetConsoleCtrlHandler)) return FALSE;
    launcher_handler = routine;
    BOOL result = win32_system.SetConsoleCtrlHandler(routine != nullptr ? recorded_handler : nullptr, add);
    // The event can only arrive once a handler is registered.
    if (result && console_armed) {
        HANDLE thread = CreateThread(nullptr, 0, console_event_thread, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    return result;
}

FARPROC WINAPI fault_GetProcAddress(HMODULE module, LPCSTR name) {
    const fault_slot& slot = slots[F_GetProcAddress];
    bool matches = slot.filter.empty() ||
                   (reinterpret_cast<uintptr_t>(name) > 0xFFFF && slot.filter == name);
    if (matches && should_fail(F_GetProcAddress)) return nullptr;
    if (!matches) ++all_calls[F_GetProcAddress];
    return win32_system.GetProcAddress(module, name);
}

DWORD WINAPI fault_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
    if (should_fail(F_GetModuleFileNameW)) {
        if (size > 0) path[0] = 0;
        return 0;
    }
    return win32_system.GetModuleFileNameW(module, path, size);
}

// The deleter's two ways of removing an entry: a disposition set on its
// handle, unlinkat on its folder's descriptor (under Wine on Linux). What
// the handler's thread removes is counted.
BOOL WINAPI fault_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID information, DWORD size) {
    if (should_fail(F_SetFileInformationByHandle)) return FALSE;
    BOOL result = win32_system.SetFileInformationByHandle(file, kind, information, size);
    constexpr int DISPOSITION_EX = 21;  // FileDispositionInfoEx
    if (result && on_handler_thread() && (kind == FileDispositionInfo || static_cast<int>(kind) == DISPOSITION_EX))
        ++handler_deletions;
    return result;
}

// The Unix descriptors the launcher owns: those Wine handed it and those
// openat2 made. A close of any other would close one of Wine's own (its
// server connection, a thread's pipes, a handle's cached descriptor), which
// breaks the process's link to the wineserver.
std::set<long long> owned_descriptors;

void own_descriptor(long long descriptor) {
    locked hold;
    if (!owned_descriptors.insert(descriptor).second)
        misuses.push_back("descriptor " + std::to_string(descriptor) + " handed out twice");
}

NTSTATUS CDECL fault_wine_server_handle_to_fd(HANDLE handle, unsigned int access, int* descriptor,
                                              unsigned int* options) {
    begin_use(handle, "wine_server_handle_to_fd");
    NTSTATUS status = FAILED_STATUS;
    if (!should_fail(F_wine_server_handle_to_fd)) {
        status = win32_system.wine_server_handle_to_fd(handle, access, descriptor, options);
        if (status == 0) own_descriptor(*descriptor);
    }
    end_use(handle);
    return status;
}

long long fault_linux_call(long long number, long long first, long long second, long long third,
                           long long fourth) {
    constexpr long long CLOSE = 3, UNLINKAT = 263, OPENAT2 = 437;
    if (number == CLOSE) {
        locked hold;
        if (owned_descriptors.erase(first) == 0)
            misuses.push_back("close of descriptor " + std::to_string(first) + ", not the launcher's");
    }
    if (should_fail(F_linux_call)) return FAILED_LINUX_CALL;
    long long result = win32_system.linux_call(number, first, second, third, fourth);
    if (number == OPENAT2 && result >= 0) own_descriptor(result);
    if (result == 0 && number == UNLINKAT && on_handler_thread()) ++handler_deletions;
    return result;
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

// The progress window's event and the token of the run directory's owner:
// handles of the launcher's own like any other.
HANDLE WINAPI fault_CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial,
                                 LPCWSTR name) {
    if (should_fail(F_CreateEventW)) return nullptr;
    HANDLE event = win32_system.CreateEventW(security, manual, initial, name);
    opened(event, "CreateEventW");
    return event;
}

BOOL WINAPI fault_OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    if (should_fail(F_OpenProcessToken)) return FALSE;
    BOOL result = win32_system.OpenProcessToken(process, access, token);
    if (result) opened(*token, "OpenProcessToken");
    return result;
}

// Recorded: a new thread's handle may take the value of a handle closed
// before, which must not count as a use after close.
HANDLE WINAPI fault_CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD thread_id) {
    if (should_fail(F_CreateThread)) return nullptr;
    HANDLE thread = win32_system.CreateThread(security, stack, start, parameter, flags, thread_id);
    opened(thread, "CreateThread");
    return thread;
}

std::wstring widened(const char* text) { return std::wstring(text, text + strlen(text)); }

std::wstring environment_value(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::wstring();
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, &value[0], size));
    return value;
}

}  // namespace

std::vector<listed_function> listed_functions() {
    return std::vector<listed_function>(functions, functions + F_COUNT);
}

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
    if (*end == L'~' && (end[1] == 0 || end[1] == L':')) {
        item.pause = true;
        ++end;
    }
    if (*end == L':' || *end == L'~') {
        wchar_t* number_end = nullptr;
        DWORD number = wcstoul(end + 1, &number_end, 0);
        if (number_end == end + 1) return false;
        (*end == L':' ? item.code : item.hold_ms) = number;
        end = number_end;
    }
    return *end == 0;
}

bool install_faults_from_environment() {
    InitializeCriticalSection(&lock);
    // The role by generation: the start a test makes is the parent, the
    // start that one makes is the child. Any later start (the application's
    // own, or one that took the parent role because a fault kept it from
    // knowing its parent) runs as the product does: faults in every
    // generation would start launchers without end.
    std::wstring generation = environment_value(GENERATION_VARIABLE);
    if (!generation.empty() && generation != L"1") return true;
    std::wstring role = generation.empty() ? L"parent" : L"child";
    SetEnvironmentVariableW(GENERATION_VARIABLE, generation.empty() ? L"1" : L"2");
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
        while (id < F_COUNT && item.function != widened(functions[id].name)) ++id;
        if (id == F_COUNT || !functions[id].can_fail) return false;
        slots[id].armed = true;
        slots[id].index = item.index;
        slots[id].from_then_on = item.from_then_on;
        slots[id].code = item.code;
        slots[id].hold_ms = item.hold_ms;
        slots[id].pause = item.pause;
        slots[id].filter = item.filter;
    }

    report_path = environment_value(REPORT_VARIABLE);
    if (!report_path.empty()) {
        // The child writes its own report beside the parent's.
        if (role == L"child") report_path += L".child";
        atexit(report_at_exit);
    }

    // Every entry counted and open to faults; those below do more. The
    // attribute mingw-w64 puts on va_list (FormatMessageA's last parameter)
    // is dropped in a template argument: the same pointer is passed on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#define COUNTED_CALL(kind, name, failure) \
    if (win32_system.name != nullptr) win32.name = counted_call<F_##name>::call;
    WIN32_FUNCTIONS(COUNTED_CALL)
#undef COUNTED_CALL
#pragma GCC diagnostic pop
    win32.CreateFileW = fault_CreateFileW;
    win32.ReOpenFile = fault_ReOpenFile;
    win32.NtOpenFile = fault_NtOpenFile;
    win32.WriteFile = fault_WriteFile;
    win32.CreateProcessW = fault_CreateProcessW;
    win32.GetExitCodeProcess = fault_GetExitCodeProcess;
    win32.SetConsoleCtrlHandler = fault_SetConsoleCtrlHandler;
    win32.GetProcAddress = fault_GetProcAddress;
    win32.GetModuleFileNameW = fault_GetModuleFileNameW;
    win32.WaitForSingleObject = fault_WaitForSingleObject;
    win32.DuplicateHandle = fault_DuplicateHandle;
    win32.OpenProcess = fault_OpenProcess;
    win32.K32GetModuleFileNameExW = fault_K32GetModuleFileNameExW;
    win32.TerminateProcess = fault_TerminateProcess;
    win32.CloseHandle = fault_CloseHandle;
    win32.Sleep = fault_Sleep;
    win32.CreateThread = fault_CreateThread;
    win32.CreateEventW = fault_CreateEventW;
    win32.OpenProcessToken = fault_OpenProcessToken;
    win32.SetFileInformationByHandle = fault_SetFileInformationByHandle;
    if (win32_system.linux_call != nullptr) win32.linux_call = fault_linux_call;
    if (win32_system.wine_server_handle_to_fd != nullptr)
        win32.wine_server_handle_to_fd = fault_wine_server_handle_to_fd;
    return true;
}
