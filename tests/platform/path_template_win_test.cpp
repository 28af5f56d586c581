// The system's template sources: temporary path, profile folder, process id
// and the start-time variable, as the launcher's expansion sees them.
#include <gtest/gtest.h>

#include <string>

#include "platform/bounded_buffer.h"
#include "platform/environment.h"
#include "platform/path_template.h"
#include "platform/win32_api.h"

namespace {

std::wstring expanded(const wchar_t* path_template, bool* ok, size_t capacity = RUN_DIRECTORY_CAPACITY) {
    std::wstring buffer(capacity, L'#');
    *ok = expand_path_template(buffer.data(), path_template, capacity);
    return buffer.c_str();
}

DWORD WINAPI no_temp_path(DWORD, LPWSTR) { return 0; }

class SystemTemplateSources : public ::testing::Test {
protected:
    void SetUp() override {
        unset_env_var(PARENT_VARIABLE);
        unset_env_var(START_VARIABLE);
    }
    void TearDown() override {
        win32 = win32_system;
        unset_env_var(PARENT_VARIABLE);
        unset_env_var(START_VARIABLE);
    }
};

TEST_F(SystemTemplateSources, TempIsTheSystemTemporaryPathWithoutItsBackslash) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 1u);
    ASSERT_EQ(temp[length - 1], L'\\');
    bool ok = false;
    EXPECT_EQ(expanded(L"{TEMP}", &ok), std::wstring(temp, length - 1));
    EXPECT_TRUE(ok);
}

TEST_F(SystemTemplateSources, TempThatFailsOrDoesNotFitFailsTheExpansion) {
    bool ok = true;
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    // Room for all of it but the terminator.
    std::wstring text = expanded(L"{TEMP}", &ok, length);
    EXPECT_FALSE(ok);
    EXPECT_EQ(text, L"");
    win32.GetTempPathW = no_temp_path;
    expanded(L"{TEMP}\\x", &ok);
    EXPECT_FALSE(ok);
}

TEST_F(SystemTemplateSources, HomeIsTheProfileFolder) {
    wchar_t profile[MAX_PATH];
    ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
    bool ok = false;
    EXPECT_EQ(expanded(HOME_TEMPLATE, &ok), profile);
    EXPECT_TRUE(ok);
}

TEST_F(SystemTemplateSources, RunDirectoryRecordsItsStartTimeForLaterExpansions) {
    bool ok = false;
    std::wstring first = expanded(RUN_DIRECTORY_TEMPLATE, &ok);
    ASSERT_TRUE(ok);
    wchar_t* start = get_env_var(START_VARIABLE);
    ASSERT_NE(start, nullptr);
    std::wstring expected_tail =
        L"\\onefile_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + start;
    free(start);
    ASSERT_GE(first.size(), expected_tail.size());
    EXPECT_EQ(first.substr(first.size() - expected_tail.size()), expected_tail);
    ::Sleep(20);
    EXPECT_EQ(expanded(RUN_DIRECTORY_TEMPLATE, &ok), first);

    set_env_var(PARENT_VARIABLE, L"812");
    std::wstring joined = expanded(RUN_DIRECTORY_TEMPLATE, &ok);
    EXPECT_NE(joined.find(L"\\onefile_812_"), std::wstring::npos) << ::testing::PrintToString(joined);
}

}  // namespace
