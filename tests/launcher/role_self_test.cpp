// Role selection in this very process: a TALVOR_ONEFILE_PARENT that names the
// process itself (an id inherited from an earlier run and reused by the
// system) is no parent. This test program stands in for the launcher, so the
// identity comparison would call it one.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "launcher/launcher.h"

TEST(role_selection, a_parent_id_naming_this_process_takes_the_parent_role) {
    std::wstring own = std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(SetEnvironmentVariableW(L"TALVOR_ONEFILE_PARENT", own.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TALVOR_ONEFILE_START", L"134116992000000000"));
    launcher.child_role = true;
    select_role();
    EXPECT_FALSE(launcher.child_role);
    wchar_t value[64] = {};
    EXPECT_EQ(GetEnvironmentVariableW(L"TALVOR_ONEFILE_PARENT", value, 64), own.size());
    EXPECT_EQ(value, own);
    // Both variables count as not recognised: the start time goes too.
    EXPECT_EQ(GetEnvironmentVariableW(L"TALVOR_ONEFILE_START", value, 64), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}
