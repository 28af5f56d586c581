// The child's command line against the system's own splitter: random
// argument lists survive a round trip through CommandLineToArgvW, and the
// built line keeps its 32767-unit limit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/win32_api.h"

namespace {

std::vector<std::wstring> split(const wchar_t* line) {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(line, &count);
    std::vector<std::wstring> result;
    if (arguments == nullptr) return result;
    for (int i = 0; i < count; ++i) result.emplace_back(arguments[i]);
    LocalFree(arguments);
    return result;
}

std::wstring joined(const std::wstring& module_path, const std::vector<std::wstring>& arguments) {
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
    static wchar_t units[CHILD_COMMAND_LINE_CAPACITY];
    bounded_buffer line = bounded_buffer::cleared(units, CHILD_COMMAND_LINE_CAPACITY);
    join_command_line(line, module_path.c_str(), static_cast<int>(pointers.size()), pointers.data());
    return units;
}

// Pieces chosen for the splitter's hard cases: quotes, backslash runs before
// quotes and at the end, blanks, controls, non-ASCII and surrogate pairs.
const wchar_t* const PIECES[] = {
    L"a", L"Z", L"\"", L"\\", L"\\\\", L"\\\\\\", L" ", L"  ", L"\t", L"\n", L"\v",
    L"\u00e9", L"\u65e5", L"\U0001F600", L"\\\"", L"\"\"", L"x y", L".", L"=", L"'",
};

std::wstring random_argument(std::mt19937& random) {
    std::uniform_int_distribution<int> pieces(0, 6);
    std::uniform_int_distribution<size_t> piece(0, std::size(PIECES) - 1);
    std::wstring argument;
    for (int n = pieces(random); n > 0; --n) argument += PIECES[piece(random)];
    return argument;
}

TEST(ChildCommandLine, RandomArgumentListsSurviveTheSystemSplitter) {
    std::mt19937 random(20260101);
    const std::wstring module_paths[] = {L"C:\\Tools\\launcher.exe",
                                         L"C:\\Program Files\\Demo App\\launcher.exe"};
    int mismatched_lists = 0;
    for (int round = 0; round < 3000 && mismatched_lists < 5; ++round) {
        const std::wstring& module_path = module_paths[round % 2];
        std::vector<std::wstring> arguments{L"ignored argument zero"};
        for (int n = std::uniform_int_distribution<int>(0, 6)(random); n > 0; --n) {
            arguments.push_back(random_argument(random));
        }
        std::wstring line = joined(module_path, arguments);
        std::vector<std::wstring> back = split(line.c_str());
        std::vector<std::wstring> expected = arguments;
        expected[0] = module_path;
        std::string differences;
        for (size_t i = 0; i < std::max(back.size(), expected.size()); ++i) {
            if (i >= back.size() || i >= expected.size() || back[i] != expected[i]) {
                differences += " " + std::to_string(i);
            }
        }
        if (!differences.empty()) {
            ++mismatched_lists;
            ADD_FAILURE() << "positions" << differences << " differ; line: "
                          << ::testing::PrintToString(line) << ", " << back.size()
                          << " arguments back, " << expected.size() << " expected";
        }
    }
}

TEST(ChildCommandLine, WorkedLineSplitsBackIntoTheSameArguments) {
    std::wstring line = joined(L"C:\\Tools\\launcher.exe", {L"launcher", L"open", L"my file.txt"});
    EXPECT_EQ(line, L"C:\\Tools\\launcher.exe open \"my file.txt\"");
    EXPECT_EQ(split(line.c_str()),
              (std::vector<std::wstring>{L"C:\\Tools\\launcher.exe", L"open", L"my file.txt"}));
}

// The process's own line, as build_child_command_line reads it.
std::wstring fake_process_line;
LPWSTR WINAPI fake_command_line() { return fake_process_line.data(); }
DWORD WINAPI failing_module_file_name(HMODULE, LPWSTR, DWORD) { return 0; }
LPWSTR* WINAPI failing_split(LPCWSTR, int*) { return nullptr; }

class BuildChildCommandLine : public ::testing::Test {
protected:
    void SetUp() override { win32.GetCommandLineW = fake_command_line; }
    void TearDown() override { win32 = win32_system; }
};
using BuildChildCommandLineDeathTest = BuildChildCommandLine;

TEST_F(BuildChildCommandLine, UsersArgumentZeroIsNeverWritten) {
    fake_process_line = L"\"..\\Other Name.EXE\" a \"\" \"b c\"";
    wchar_t own_module_path[OWN_MODULE_PATH_CAPACITY] = L"C:\\Tools\\launcher.exe";
    std::wstring line = build_child_command_line(own_module_path);
    EXPECT_EQ(line, L"C:\\Tools\\launcher.exe a \"\" \"b c\"");
    // The same inputs give the same text.
    EXPECT_EQ(std::wstring(build_child_command_line(own_module_path)), line);
}

TEST_F(BuildChildCommandLine, EmptyOwnModulePathIsFilledFromTheModule) {
    fake_process_line = L"prog";
    wchar_t own_module_path[OWN_MODULE_PATH_CAPACITY] = L"";
    std::wstring line = build_child_command_line(own_module_path);
    wchar_t expected[OWN_MODULE_PATH_CAPACITY];
    ASSERT_NE(::GetModuleFileNameW(nullptr, expected, OWN_MODULE_PATH_CAPACITY), 0u);
    EXPECT_STREQ(own_module_path, expected);
    EXPECT_EQ(split(line.c_str()), std::vector<std::wstring>{expected});
}

TEST_F(BuildChildCommandLineDeathTest, LineOfThirtyTwoThousandSevenHundredSixtySevenUnitsIsTheLimit) {
    wchar_t own_module_path[OWN_MODULE_PATH_CAPACITY] = L"C:\\L.exe";
    const size_t module_length = wcslen(own_module_path);
    const size_t fitting = CHILD_COMMAND_LINE_CAPACITY - 1 - module_length - 1;
    fake_process_line = L"prog " + std::wstring(fitting, L'a');
    std::wstring line = build_child_command_line(own_module_path);
    EXPECT_EQ(line.size(), CHILD_COMMAND_LINE_CAPACITY - 1);
    EXPECT_EQ(split(line.c_str()).at(1).size(), fitting);

    fake_process_line = L"prog " + std::wstring(fitting + 1, L'a');
    EXPECT_DEATH(build_child_command_line(own_module_path), "");
}

TEST_F(BuildChildCommandLineDeathTest, MissingModulePathEndsAbnormally) {
    fake_process_line = L"prog a";
    win32.GetModuleFileNameW = failing_module_file_name;
    wchar_t own_module_path[OWN_MODULE_PATH_CAPACITY] = L"";
    EXPECT_DEATH(build_child_command_line(own_module_path), "");
}

TEST_F(BuildChildCommandLineDeathTest, FailedSplitEndsAbnormallyRatherThanDroppingArguments) {
    fake_process_line = L"prog a";
    win32.CommandLineToArgvW = failing_split;
    wchar_t own_module_path[OWN_MODULE_PATH_CAPACITY] = L"C:\\L.exe";
    EXPECT_DEATH(build_child_command_line(own_module_path), "");
}

}  // namespace
