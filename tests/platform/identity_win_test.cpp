// Executable identity on a real file system under Wine: one file reached
// through different spellings gives one identity, two files give two; the
// call table forces the platform's rarer answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/executable_identity.h"
#include "platform/win32_api.h"

namespace {

std::wstring temp_directory() {
    wchar_t path[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
    return std::wstring(path, length);
}

std::wstring identity_of(const std::wstring& module_path, size_t capacity = 4097) {
    std::vector<wchar_t> buffer(capacity, L'#');
    wcscpy(buffer.data(), module_path.c_str());
    make_executable_identity(buffer.data(), capacity);
    return buffer.data();
}

std::wstring short_form(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 4];
    DWORD length = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH * 4);
    return length == 0 ? std::wstring() : std::wstring(buffer, length);
}

void create_file(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << ::GetLastError();
    ::CloseHandle(file);
}

// A folder with a name too long for 8.3 and two executables in it.
class ExecutableIdentity : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = temp_directory() + L"identity test directory with a long name";
        ::CreateDirectoryW(directory.c_str(), nullptr);
        create_file(directory + L"\\tool.exe");
        create_file(directory + L"\\other tool.exe");
    }
    static void TearDownTestSuite() {
        ::DeleteFileW((directory + L"\\tool.exe").c_str());
        ::DeleteFileW((directory + L"\\other tool.exe").c_str());
        ::RemoveDirectoryW(directory.c_str());
    }
    void TearDown() override { win32 = win32_system; }

    static std::wstring directory;
};
std::wstring ExecutableIdentity::directory;
using ExecutableIdentityDeathTest = ExecutableIdentity;

TEST_F(ExecutableIdentity, IdentityIsTheShortDirectoryAndTheLongFileName) {
    std::wstring identity = identity_of(directory + L"\\other tool.exe");
    EXPECT_EQ(identity, short_form(directory) + L"\\other tool.exe");
}

TEST_F(ExecutableIdentity, ShortDirectorySpellingGivesTheSameIdentity) {
    std::wstring short_directory = short_form(directory);
    ASSERT_FALSE(short_directory.empty());
    // Wine 8 does hand out 8.3 names (hashed ones) and opens files by them.
    ASSERT_NE(short_directory, directory) << "no short name for the long folder";
    EXPECT_EQ(identity_of(short_directory + L"\\tool.exe"), identity_of(directory + L"\\tool.exe"));
}

// Wine maps drive Z: to the Unix root, so every folder of drive C: is also
// reachable through Z: and the Unix path of the prefix. (DefineDosDeviceW
// does not help here: Wine 8 resolves drive letters through the prefix's
// dosdevices folder only, and the new letter cannot be opened.)
TEST_F(ExecutableIdentity, SecondDriveLetterToTheSameFolderGivesTheSameIdentity) {
    using unix_name_fn = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr || (::GetLogicalDrives() & (1u << 25)) == 0) {
        GTEST_SKIP() << "not Wine, or no drive Z:";
    }
    char* unix_directory = unix_name(directory.c_str());
    ASSERT_NE(unix_directory, nullptr);
    std::wstring through_z = L"Z:";
    for (const char* c = unix_directory; *c != 0; ++c) through_z += *c == '/' ? L'\\' : wchar_t(*c);
    ::HeapFree(::GetProcessHeap(), 0, unix_directory);
    ASSERT_NE(::GetFileAttributesW((through_z + L"\\tool.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(identity_of(through_z + L"\\tool.exe"), identity_of(directory + L"\\tool.exe"))
        << ::testing::PrintToString(through_z);
}

TEST_F(ExecutableIdentity, TwoFilesInOneFolderDiffer) {
    EXPECT_NE(identity_of(directory + L"\\tool.exe"), identity_of(directory + L"\\other tool.exe"));
}

FARPROC WINAPI no_final_path_function(HMODULE module, LPCSTR name) {
    if (strcmp(name, "GetFinalPathNameByHandleW") == 0) return nullptr;
    return ::GetProcAddress(module, name);
}

TEST_F(ExecutableIdentity, WithoutFinalPathLookupTheModulePathIsShortened) {
    win32.GetProcAddress = no_final_path_function;
    EXPECT_EQ(identity_of(directory + L"\\tool.exe"), short_form(directory) + L"\\tool.exe");
}

// A final-path function that answers with a network path.
DWORD WINAPI network_final_path(HANDLE, LPWSTR path, DWORD capacity, DWORD) {
    const wchar_t network[] = L"\\\\?\\UNC\\server\\share\\tool.exe";
    if (capacity <= wcslen(network)) return wcslen(network) + 1;
    wcscpy(path, network);
    return wcslen(network);
}
FARPROC WINAPI network_final_path_function(HMODULE module, LPCSTR name) {
    if (strcmp(name, "GetFinalPathNameByHandleW") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(network_final_path));
    return ::GetProcAddress(module, name);
}
std::vector<std::wstring> short_path_requests;
DWORD WINAPI no_short_path(LPCWSTR path, LPWSTR, DWORD) {
    short_path_requests.push_back(path);
    return 0;
}

TEST_F(ExecutableIdentity, NetworkFinalPathBecomesTwoBackslashesAndServer) {
    win32.GetProcAddress = network_final_path_function;
    win32.GetShortPathNameW = no_short_path;
    short_path_requests.clear();
    EXPECT_EQ(identity_of(directory + L"\\tool.exe"), L"\\\\server\\share\\tool.exe");
    EXPECT_EQ(short_path_requests, std::vector<std::wstring>{L"\\\\server\\share"});
}

// First call succeeds, the second finds nothing (the folder went away).
int short_path_calls;
DWORD WINAPI short_path_then_nothing(LPCWSTR path, LPWSTR buffer, DWORD size) {
    if (++short_path_calls == 1) return ::GetShortPathNameW(path, buffer, size);
    if (size > 0) buffer[0] = L'#';  // the unwritten buffer must not be used
    return 0;
}

TEST_F(ExecutableIdentity, SecondShortPathFailureKeepsTheDirectory) {
    win32.GetShortPathNameW = short_path_then_nothing;
    short_path_calls = 0;
    wchar_t path[4097] = L"C:\\windows\\system32\\notepad.exe";
    shorten_directory_part(path, 4097);
    EXPECT_EQ(short_path_calls, 2);
    EXPECT_STREQ(path, L"C:\\windows\\system32\\notepad.exe");
}

TEST_F(ExecutableIdentity, DirectoryPartsHandedToTheShortener) {
    win32.GetShortPathNameW = no_short_path;
    short_path_requests.clear();
    wchar_t root_module[64] = L"C:\\tool.exe";
    shorten_directory_part(root_module, 64);
    wchar_t trailing[64] = L"C:\\Apps\\";
    shorten_directory_part(trailing, 64);
    wchar_t bare[64] = L"tool.exe";
    shorten_directory_part(bare, 64);
    EXPECT_EQ(short_path_requests, (std::vector<std::wstring>{L"C:", L"C:\\Apps", L"tool.exe"}));
    EXPECT_STREQ(root_module, L"C:\\tool.exe");
    EXPECT_STREQ(trailing, L"C:\\Apps\\");  // empty file-name part
    EXPECT_STREQ(bare, L"tool.exe");        // nothing appended
}

TEST_F(ExecutableIdentity, MissingDirectoryStaysAsItWas) {
    wchar_t path[4097];
    std::wstring missing = directory + L"\\no such folder\\tool.exe";
    wcscpy(path, missing.c_str());
    shorten_directory_part(path, 4097);
    EXPECT_EQ(std::wstring(path), missing);
}

TEST_F(ExecutableIdentity, FileThatCannotBeOpenedLeavesTheCandidateUntouched) {
    std::wstring missing = directory + L"\\missing.exe";
    wchar_t path[2048];
    wcscpy(path, missing.c_str());
    EXPECT_FALSE(try_make_executable_identity(path, 2048));
    EXPECT_EQ(std::wstring(path), missing);
    wcscpy(path, (directory + L"\\tool.exe").c_str());
    EXPECT_TRUE(try_make_executable_identity(path, 2048));
    EXPECT_EQ(std::wstring(path), identity_of(directory + L"\\tool.exe"));
}

TEST_F(ExecutableIdentityDeathTest, OwnFileThatCannotBeOpenedEndsAbnormally) {
    EXPECT_DEATH(identity_of(directory + L"\\missing.exe"), "");
    EXPECT_DEATH(identity_of(L""), "");
}

TEST_F(ExecutableIdentityDeathTest, FinalPathNeedingTheWholeCapacityEndsAbnormally) {
    std::wstring path = directory + L"\\tool.exe";
    // The final path carries the four-unit prefix, so it needs more room
    // than the source it came from.
    EXPECT_DEATH(identity_of(path, path.size() + 1), "");
}

}  // namespace
