// Every failure message observed from outside a real process: the probe (a
// GUI-subsystem program, like the launcher) is started with its standard
// streams sent to files, and its bytes and exit status are checked here.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "diagnostics/failure.h"
#include "platform/command_line.h"

namespace {

constexpr DWORD PROBE_TIMEOUT_MS = 30000;
constexpr DWORD ABORT_EXIT_STATUS = 3;  // msvcrt's abort()

struct probe_run {
    DWORD exit_status = 0;
    std::string out;
    std::string err;
};

std::wstring probe_path() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, length);
    return own.substr(0, own.rfind(L'\\') + 1) + L"failure_probe.exe";
}

std::wstring scratch_file(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + L"failure_probe_" + std::to_wstring(::GetCurrentProcessId()) +
           L"_" + name;
}

HANDLE inheritable_file(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string file_bytes(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    ::CloseHandle(file);
    return bytes;
}

// Runs the probe with the given arguments; with `streams` false it gets no
// standard handles at all.
probe_run run_probe(std::initializer_list<const wchar_t*> arguments, bool streams = true) {
    static wchar_t line_units[CHILD_COMMAND_LINE_CAPACITY];
    bounded_buffer line = bounded_buffer::cleared(line_units, CHILD_COMMAND_LINE_CAPACITY);
    std::wstring program = probe_path();
    append_argument(line, program.c_str());
    for (const wchar_t* argument : arguments) {
        line.append_unit(L' ');
        append_argument(line, argument);
    }
    std::wstring out_path = scratch_file(L"out"), err_path = scratch_file(L"err");
    HANDLE out = streams ? inheritable_file(out_path) : nullptr;
    HANDLE err = streams ? inheritable_file(err_path) : nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    probe_run run;
    BOOL started = ::CreateProcessW(program.c_str(), line_units, nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process);
    DWORD start_error = ::GetLastError();
    if (out) ::CloseHandle(out);
    if (err) ::CloseHandle(err);
    if (!started) {
        ADD_FAILURE() << "probe did not start: " << start_error;
        return run;
    }
    if (::WaitForSingleObject(process.hProcess, PROBE_TIMEOUT_MS) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "probe still running after " << PROBE_TIMEOUT_MS << " ms (waiting on a dialog?)";
        ::TerminateProcess(process.hProcess, 255);
        ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    ::GetExitCodeProcess(process.hProcess, &run.exit_status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (streams) {
        run.out = file_bytes(out_path);
        run.err = file_bytes(err_path);
        ::DeleteFileW(out_path.c_str());
        ::DeleteFileW(err_path.c_str());
    }
    return run;
}

// The runtime's text-mode streams write every line feed as CR LF.
std::string as_written(const std::string& text) {
    std::string written;
    for (char c : text) {
        if (c == '\n') written += '\r';
        written += c;
    }
    return written;
}

// What the system says for `code`, looked up as the launcher does.
bool system_text(uint32_t code, std::string* text) {
    char* buffer = nullptr;
    DWORD length = ::FormatMessageA(0x1300, nullptr, code, 1033, reinterpret_cast<char*>(&buffer), 0,
                                    nullptr);
    if (length == 0 || buffer == nullptr) return false;
    *text = buffer;
    ::LocalFree(buffer);
    return true;
}

std::string system_error_line(const char* message, const char* signed_code, const std::string& text) {
    return as_written(std::string(message) + " ([Error " + signed_code + "] " + text + ")\n");
}

TEST(FailureMessages, PlainMessagesGoToStandardOutputWithExitStatusTwo) {
    const struct {
        const wchar_t* operation;
        const char* message;
    } cases[] = {
        {L"signal_handler", "Error, failed to register signal handler."},
        {L"entry_point", "Error, DLL entry point not found."},
        {L"no_header", "Error, couldn't find attached data header."},
    };
    for (const auto& c : cases) {
        probe_run run = run_probe({c.operation});
        EXPECT_EQ(run.exit_status, 2u) << c.message;
        EXPECT_EQ(run.out, std::string(c.message) + "\r\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST(FailureMessages, SystemErrorsGoToStandardErrorWithTheSystemText) {
    std::string access_denied;
    ASSERT_TRUE(system_text(ERROR_ACCESS_DENIED, &access_denied));
    // The system's line break is cut: the report stays one line.
    ASSERT_EQ(access_denied.back(), '\n');
    while (access_denied.back() == '\n' || access_denied.back() == '\r') access_denied.pop_back();
    const struct {
        const wchar_t* operation;
        const char* message;
    } cases[] = {
        {L"launch_child", "Error, couldn't launch child"},
        {L"load_dll", "Error, load DLL."},
        {L"unpack_write", "Error, couldn't unpack file to target path."},
    };
    for (const auto& c : cases) {
        probe_run run = run_probe({c.operation, L"5"});
        EXPECT_EQ(run.exit_status, 2u) << c.message;
        EXPECT_EQ(run.err, system_error_line(c.message, "5", access_denied));
        EXPECT_EQ(run.out, "");
    }
}

TEST(FailureMessages, CodeWithItsHighestBitSetIsPrintedNegative) {
    std::string text;
    if (!system_text(0x80070005, &text)) text = "unknown error";
    while (text.back() == '\n' || text.back() == '\r') text.pop_back();
    probe_run run = run_probe({L"launch_child", L"0x80070005"});
    EXPECT_EQ(run.exit_status, 2u);
    EXPECT_EQ(run.err, system_error_line("Error, couldn't launch child", "-2147024891", text));
}

TEST(FailureMessages, CodeWithoutSystemTextStillGivesACompleteLine) {
    std::string text;
    ASSERT_FALSE(system_text(0xE0001234, &text)) << "the system knows " << text;
    probe_run run = run_probe({L"unpack_write", L"0xE0001234"});
    EXPECT_EQ(run.exit_status, 2u);
    EXPECT_EQ(run.err, "Error, couldn't unpack file to target path. ([Error -536866252] unknown error)\r\n");
}

TEST(FailureMessages, OpenTargetNamesThePathWithMarksForNonAscii) {
    probe_run run = run_probe({L"open_target", L"C:\\Tmp\\onefile_812_1\\lib\\caf\u00e9 \U0001F600.dll"});
    EXPECT_EQ(run.exit_status, 2u);
    EXPECT_EQ(run.err, "Error, failed to open 'C:\\Tmp\\onefile_812_1\\lib\\caf? ?.dll' for writing.\r\n");
    EXPECT_EQ(run.out, "");
}

TEST(FailureMessages, TemplateFailureWritesItsLineThenEndsThroughAbort) {
    probe_run run = run_probe({L"expand_template", L"{TEMP}\\onefile_{PID}_{TIME}"});
    EXPECT_EQ(run.exit_status, ABORT_EXIT_STATUS);
    EXPECT_EQ(run.err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME}'.\r\n");
    EXPECT_EQ(run.out, "");
}

TEST(AbnormalTermination, EndsUnattendedWithoutAMessageOfItsOwn) {
    probe_run run = run_probe({L"end_abnormally"});
    EXPECT_EQ(run.exit_status, ABORT_EXIT_STATUS);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

}  // namespace
