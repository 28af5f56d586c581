// Failures of a process that no standard stream connects to anyone, seen on a
// virtual X display: the line shows in a box titled with the product's name,
// the status is kept once the box is closed, and a process with streams
// shows none. Test code only; it calls Win32 directly.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/branding_record.h"
#include "tests/launcher/e2e_harness.h"

namespace {

const DWORD BOX_WAIT_MS = 60000;  // the first window of a fresh display is slow under Wine
const DWORD EXIT_WAIT_MS = 30000;
const DWORD ABORT_EXIT_STATUS = 3;  // msvcrt's abort()
const wchar_t DIALOG_CLASS[] = L"#32770";
const wchar_t DESKTOP_NAME[] = L"onefile_failure_box_test";

struct started {
    PROCESS_INFORMATION process = {};
    ~started() {
        if (process.hProcess != nullptr) {
            TerminateProcess(process.hProcess, 255);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
};

// Starts `program` with no standard handles at all, as the desktop does, or
// with handles to the null device; in `folder` when one is given.
bool start(const std::wstring& program, const std::wstring& arguments, bool streams, started& out,
           const std::wstring& folder = L"") {
    std::wstring line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    std::wstring desktop_name = DESKTOP_NAME;
    startup.lpDesktop = desktop_name.data();
    HANDLE null_device = INVALID_HANDLE_VALUE;
    if (streams) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        null_device = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        startup.hStdOutput = startup.hStdError = null_device;
    }
    BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &out.process);
    if (null_device != INVALID_HANDLE_VALUE) CloseHandle(null_device);
    return ok != FALSE;
}

struct box_search {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK match_box(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<box_search*>(context);
    wchar_t class_name[64] = {}, title[256] = {};
    GetClassNameW(window, class_name, 64);
    GetWindowTextW(window, title, 256);
    if (wcscmp(class_name, DIALOG_CLASS) == 0 && search.title == title && IsWindowVisible(window)) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK gather_text(HWND child, LPARAM context) {
    wchar_t text[2048] = {};
    GetWindowTextW(child, text, 2048);
    *reinterpret_cast<std::wstring*>(context) += std::wstring(text) + L"|";
    return TRUE;
}

// Waits for a box titled `title`; its text (every control's, joined) or
// nothing when none shows before `ms` or the process ends first.
HWND wait_for_box(const std::wstring& title, HANDLE process, DWORD ms, std::wstring& text) {
    for (DWORD waited = 0; waited < ms; waited += 100) {
        box_search search{title};
        EnumDesktopWindows(GetThreadDesktop(GetCurrentThreadId()), match_box, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            EnumChildWindows(search.found, gather_text, reinterpret_cast<LPARAM>(&text));
            return search.found;
        }
        if (WaitForSingleObject(process, 100) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

DWORD close_and_wait(HWND box, HANDLE process) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (WaitForSingleObject(process, EXIT_WAIT_MS) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD status = 0;
    GetExitCodeProcess(process, &status);
    return status;
}

std::wstring probe() { return test_program_folder() + L"\\failure_probe.exe"; }

// A desktop of the test's own, as in the desktop example's test: the
// prefix's default desktop may have been opened without a display by
// another Wine program, and Wine 8 then gives its windows no driver.
class FailureBox : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        desktop = CreateDesktopW(DESKTOP_NAME, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_NE(desktop, nullptr) << "CreateDesktopW failed, error " << GetLastError();
        ASSERT_TRUE(SetThreadDesktop(desktop)) << "SetThreadDesktop failed, error " << GetLastError();
    }
    static HDESK desktop;
};
HDESK FailureBox::desktop = nullptr;

TEST_F(FailureBox, WithoutStreamsTheLineShowsInABoxAndTheStatusStays) {
    const std::wstring product = launcher_branding.product;
    const struct {
        const wchar_t* arguments;
        const wchar_t* line;
        DWORD status;
    } cases[] = {
        {L"no_header", L"Error, couldn't find attached data header.", 2},
        {L"launch_child 5", L"Error, couldn't launch child ([Error 5] ", 2},
        {L"expand_template {HOME}", L"Error, couldn't runtime expand spec '{HOME}'.", ABORT_EXIT_STATUS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.arguments, c.arguments + wcslen(c.arguments)));
        started run;
        ASSERT_TRUE(start(probe(), c.arguments, false, run));
        std::wstring text;
        HWND box = wait_for_box(product, run.process.hProcess, BOX_WAIT_MS, text);
        ASSERT_NE(box, nullptr) << "no box titled with the product's name";
        EXPECT_NE(text.find(c.line), std::wstring::npos) << std::string(text.begin(), text.end());
        EXPECT_EQ(text.find(L"\n)"), std::wstring::npos) << "one line: ')' after the system's text";
        EXPECT_EQ(close_and_wait(box, run.process.hProcess), c.status);
    }
}

TEST_F(FailureBox, WithStreamsNoBoxShows) {
    started run;
    ASSERT_TRUE(start(probe(), L"load_dll 126", true, run));
    std::wstring text;
    EXPECT_EQ(wait_for_box(launcher_branding.product, run.process.hProcess, EXIT_WAIT_MS, text), nullptr);
    DWORD status = 0;
    GetExitCodeProcess(run.process.hProcess, &status);
    EXPECT_EQ(status, 2u);
}

// A packed application whose helper library imports one that was left out
// of the pack but lies beside the packed file, as in a build folder. The
// loader never searches the launcher's folder for the application library's
// imports, so the load fails, and the box must name that library, not take
// the copy beside the launcher for found. Started in a folder of its own:
// the current folder is searched, and the build folder would hold the copy.
TEST_F(FailureBox, AFailedLoadNamesTheLibraryThatCouldNotBeFound) {
    std::wstring packed = windows_path(BOX_APPLICATION);
    ASSERT_TRUE(file_exists(folder_of(packed) + L"\\box_absent.dll"));
    std::wstring empty_folder = test_program_folder() + L"\\box_start_folder";
    CreateDirectoryW(empty_folder.c_str(), nullptr);  // left from an earlier run: fine
    ASSERT_TRUE(directory_names(empty_folder).empty());
    started run;
    ASSERT_TRUE(start(packed, L"", false, run, empty_folder));
    std::wstring text;
    HWND box = wait_for_box(L"Box Test", run.process.hProcess, BOX_WAIT_MS, text);
    DWORD early = 0;
    GetExitCodeProcess(run.process.hProcess, &early);
    ASSERT_NE(box, nullptr) << "no box titled with the packed product's name; status " << early;
    std::string seen(text.begin(), text.end());
    EXPECT_NE(seen.find("Error, load DLL. ([Error 126] "), std::string::npos) << seen;
    EXPECT_NE(seen.find("The library box_absent.dll, imported by box_helper.dll, could not be found."),
              std::string::npos) << seen;
    // The parent waits for its child, then passes its status on.
    EXPECT_EQ(close_and_wait(box, run.process.hProcess), 2u);
}

}  // namespace
