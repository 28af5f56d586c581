// Environment access against the process's real environment, with the call
// table replaced where the platform's answer has to be forced.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/environment.h"
#include "platform/win32_api.h"

namespace {

constexpr char TEST_VARIABLE[] = "TALVOR_PLATFORM_TEST_VALUE";

std::wstring read(const char* name, bool* present) {
    wchar_t* value = get_env_var(name);
    *present = value != nullptr;
    std::wstring text = value ? value : L"";
    std::free(value);
    return text;
}

class Environment : public ::testing::Test {
protected:
    void TearDown() override {
        win32 = win32_system;
        unset_env_var(TEST_VARIABLE);
    }
};

TEST_F(Environment, SetThenGetGivesAnEqualCopyAndUnsetGivesNone) {
    bool present = false;
    EXPECT_TRUE(set_env_var(TEST_VARIABLE, L"C:\\Tmp\\caf\u00e9 \U0001F600"));
    EXPECT_EQ(read(TEST_VARIABLE, &present), L"C:\\Tmp\\caf\u00e9 \U0001F600");
    EXPECT_TRUE(present);
    EXPECT_TRUE(unset_env_var(TEST_VARIABLE));
    read(TEST_VARIABLE, &present);
    EXPECT_FALSE(present);
}

TEST_F(Environment, EmptyValueReadsAsNone) {
    ASSERT_TRUE(set_env_var(TEST_VARIABLE, L""));
    EXPECT_EQ(get_env_var(TEST_VARIABLE), nullptr);
}

// A value of the platform's longest length, 32,767 units, as the platform
// hands it over.
DWORD WINAPI longest_value(LPCWSTR, LPWSTR buffer, DWORD size) {
    const DWORD longest = VARIABLE_VALUE_CAPACITY - 1;
    if (size <= longest) return longest + 1;
    for (DWORD i = 0; i < longest; ++i) buffer[i] = i == 0 ? L'<' : i == longest - 1 ? L'>' : L'v';
    buffer[longest] = 0;
    return longest;
}

TEST_F(Environment, LongestValueIsReadWhole) {
    win32.GetEnvironmentVariableW = longest_value;
    wchar_t* value = get_env_var(TEST_VARIABLE);
    ASSERT_NE(value, nullptr);
    std::wstring back = value;
    std::free(value);
    // Compared by size and ends, so a failure stays readable.
    ASSERT_EQ(back.size(), VARIABLE_VALUE_CAPACITY - 1);
    EXPECT_EQ(back.front(), L'<');
    EXPECT_EQ(back.back(), L'>');
}

TEST_F(Environment, LongestStoredValueComesBackAsTheSystemHoldsIt) {
    // Wine 8 keeps only 32,766 units of a 32,767-unit value (its Unicode
    // string lengths stop at 0xFFFC bytes); whatever it keeps is read whole.
    std::wstring longest(VARIABLE_VALUE_CAPACITY - 1, L'v');
    ASSERT_TRUE(set_env_var(TEST_VARIABLE, longest.c_str()));
    static wchar_t held[VARIABLE_VALUE_CAPACITY];
    DWORD held_length = ::GetEnvironmentVariableW(L"TALVOR_PLATFORM_TEST_VALUE", held, VARIABLE_VALUE_CAPACITY);
    ASSERT_GE(held_length, VARIABLE_VALUE_CAPACITY - 2);
    bool present = false;
    std::wstring back = read(TEST_VARIABLE, &present);
    ASSERT_EQ(back.size(), held_length);
    EXPECT_TRUE(back == held);
}

TEST_F(Environment, TwoReadsGiveTwoDistinctCopies) {
    ASSERT_TRUE(set_env_var(TEST_VARIABLE, L"812"));
    wchar_t* first = get_env_var(TEST_VARIABLE);
    wchar_t* second = get_env_var(TEST_VARIABLE);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, second);
    std::free(first);
    std::free(second);
}

// The platform reports the size it would need when a value does not fit.
DWORD reported_size;
DWORD WINAPI value_too_long(LPCWSTR, LPWSTR buffer, DWORD) {
    buffer[0] = L'x';  // whatever it left behind must not be returned
    return reported_size;
}

TEST_F(Environment, ValueThatDoesNotFitReadsAsNone) {
    win32.GetEnvironmentVariableW = value_too_long;
    for (DWORD size : {DWORD{VARIABLE_VALUE_CAPACITY}, DWORD{VARIABLE_VALUE_CAPACITY + 1}, DWORD{0xFFFFFFFF}}) {
        reported_size = size;
        EXPECT_EQ(get_env_var(TEST_VARIABLE), nullptr) << size;
    }
}

std::wstring name_seen;
BOOL WINAPI record_name(LPCWSTR name, LPCWSTR) {
    name_seen = name;
    return TRUE;
}

TEST_F(Environment, NamesReachThePlatformWidenedUnitForUnit) {
    win32.SetEnvironmentVariableW = record_name;
    set_env_var(ORIGINAL_ARGV0_VARIABLE, L"x");
    EXPECT_EQ(name_seen, L"TALVOR_ORIGINAL_ARGV0");
    unset_env_var(DIRECTORY_VARIABLE);
    EXPECT_EQ(name_seen, L"TALVOR_ONEFILE_DIRECTORY");
}

}  // namespace
