// The extraction writer on a real directory under Wine: chunking counted
// through the call table, replacement of existing files, the failure exits,
// and the opening of resource 27 with the resource calls replaced.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "diagnostics/failure.h"
#include "payload/archive_resource.h"
#include "payload/extraction.h"
#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

std::vector<DWORD> write_sizes;

BOOL WINAPI counting_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                LPOVERLAPPED overlapped) {
    write_sizes.push_back(size);
    return win32_system.WriteFile(file, data, size, written, overlapped);
}

// A close that takes its time, as under real-time antivirus scanning; which
// threads closed and how many.
std::atomic<int> slow_closes{0};
std::atomic<bool> closed_on_writing_thread{false};
DWORD writing_thread = 0;

BOOL WINAPI slow_close_handle(HANDLE handle) {
    bool file = GetFileType(handle) == FILE_TYPE_DISK;
    if (file) Sleep(20);
    BOOL closed = win32_system.CloseHandle(handle);
    if (file) {
        if (GetCurrentThreadId() == writing_thread) closed_on_writing_thread = true;
        ++slow_closes;
    }
    return closed;
}

BOOL WINAPI failing_write_file(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::wstring make_scratch_directory() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"payload_write_" + std::to_wstring(GetCurrentProcessId()) +
                        L"_" + std::to_wstring(GetTickCount64());
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data.append(chunk, got);
    CloseHandle(file);
    return data;
}

class WritePayloadEntry : public ::testing::Test {
protected:
    void SetUp() override {
        win32 = win32_system;
        win32.WriteFile = counting_write_file;
        write_sizes.clear();
        run_directory = make_scratch_directory();
        cache.count = 0;
    }
    void TearDown() override { win32 = win32_system; }

    // Writes `data` as entry `name` through the archive view and returns how
    // far the cursor moved.
    size_t write(const std::wstring& name, const std::string& data) {
        std::string padded = data + "TAIL";  // the next record, which must stay unread
        payload_archive archive = payload_archive_over(
            reinterpret_cast<const uint8_t*>(padded.data()), padded.size());
        u16 first[FIRST_ENTRY_PATH_CAPACITY] = {0};
        make_target_path(target, run_directory.c_str(), name.c_str(), first);
        write_payload_entry(archive, data.size(), target, cache, buffer);
        finish_extraction_closes();
        return static_cast<size_t>(archive.cursor - archive.base);
    }

    std::wstring run_directory;
    directory_cache cache{};
    u16 target[TARGET_PATH_CAPACITY];
    uint8_t buffer[WRITE_CHUNK_SIZE];
};

std::string pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

TEST_F(WritePayloadEntry, ChunksAreAtMost32768Bytes) {
    struct { size_t size; std::vector<DWORD> writes; } cases[] = {
        {0, {}}, {1, {1}}, {32768, {32768}}, {32769, {32768, 1}}, {65536, {32768, 32768}}};
    for (const auto& c : cases) {
        write_sizes.clear();
        std::wstring name = L"f" + std::to_wstring(c.size) + L".bin";
        std::string data = pattern(c.size);
        EXPECT_EQ(write(name, data), c.size);
        EXPECT_EQ(write_sizes, c.writes) << c.size;
        EXPECT_EQ(read_file(run_directory + L"\\" + name), data) << c.size;
    }
}

// The writing thread hands files to the closing threads and goes on; when
// finish_extraction_closes returns, every one is closed: nobody else holds
// any (an exclusive open succeeds) and its bytes are all there.
TEST_F(WritePayloadEntry, FilesAreClosedByOtherThreadsAndAllBeforeTheFinish) {
    win32.CloseHandle = slow_close_handle;
    slow_closes = 0;
    closed_on_writing_thread = false;
    writing_thread = GetCurrentThreadId();
    constexpr int FILES = 24;
    for (int index = 0; index < FILES; ++index) {
        u16 first[FIRST_ENTRY_PATH_CAPACITY] = {0};
        std::string data = pattern(1000 + index);
        payload_archive archive = payload_archive_over(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        make_target_path(target, run_directory.c_str(), (L"n\\" + std::to_wstring(index)).c_str(), first);
        write_payload_entry(archive, data.size(), target, cache, buffer);
    }
    finish_extraction_closes();
    EXPECT_EQ(slow_closes.load(), FILES);
    EXPECT_FALSE(closed_on_writing_thread.load());
    for (int index = 0; index < FILES; ++index) {
        std::wstring path = run_directory + L"\\n\\" + std::to_wstring(index);
        HANDLE alone = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(alone, INVALID_HANDLE_VALUE) << index << " still open";
        if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
        EXPECT_EQ(read_file(path), pattern(1000 + index)) << index;
    }
}

TEST_F(WritePayloadEntry, MakesParentDirectoriesAndReplacesExistingFiles) {
    std::wstring name = L"deep\\er\\still\\f.txt";
    write(name, "a much longer first content");
    write(name, "short");
    EXPECT_EQ(read_file(run_directory + L"\\" + name), "short");
}

TEST_F(WritePayloadEntry, DirectoryInTheWayFailsWithTheOpenMessage) {
    CreateDirectoryW((run_directory + L"\\taken").c_str(), nullptr);
    EXPECT_EXIT(write(L"taken", "x"), ::testing::ExitedWithCode(FAILURE_EXIT_STATUS),
                "Error, failed to open '.*taken' for writing.");
}

TEST_F(WritePayloadEntry, FailedWriteEndsWithTheUnpackMessage) {
    EXPECT_EXIT(
        {
            win32.WriteFile = failing_write_file;
            write(L"f.bin", "data");
        },
        ::testing::ExitedWithCode(FAILURE_EXIT_STATUS), "Error, couldn't unpack file to target path.");
}

// Resource calls replaced: the order, the bound and the missing case.
std::vector<std::string> resource_calls;
const uint8_t fake_resource[] = {0x4B, 0x41, 0x58, 0x00, 0x00};

HRSRC WINAPI fake_find(HMODULE module, LPCSTR name, LPCSTR type) {
    resource_calls.push_back("find");
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(name, MAKEINTRESOURCEA(27));
    EXPECT_EQ(type, MAKEINTRESOURCEA(10));
    return reinterpret_cast<HRSRC>(0x1234);
}
HRSRC WINAPI missing_find(HMODULE, LPCSTR, LPCSTR) { return nullptr; }
HGLOBAL WINAPI fake_load(HMODULE, HRSRC) {
    resource_calls.push_back("load");
    return reinterpret_cast<HGLOBAL>(0x5678);
}
LPVOID WINAPI fake_lock(HGLOBAL) {
    resource_calls.push_back("lock");
    return const_cast<uint8_t*>(fake_resource);
}
DWORD WINAPI fake_size(HMODULE, HRSRC) {
    resource_calls.push_back("size");
    return sizeof fake_resource;
}

TEST(OpenPayloadArchive, ViewCoversExactlyTheResource) {
    win32 = win32_system;
    win32.FindResourceA = fake_find;
    win32.LoadResource = fake_load;
    win32.LockResource = fake_lock;
    win32.SizeofResource = fake_size;
    resource_calls.clear();
    payload_archive archive = open_payload_archive();
    win32 = win32_system;
    EXPECT_EQ(resource_calls, (std::vector<std::string>{"find", "load", "lock", "size"}));
    EXPECT_EQ(archive.base, fake_resource);
    EXPECT_EQ(archive.cursor, fake_resource);
    EXPECT_EQ(archive.end, fake_resource + sizeof fake_resource);
}

TEST(OpenPayloadArchive, MissingResourceEndsWithAMessage) {
    EXPECT_EXIT(
        {
            win32.FindResourceA = missing_find;
            open_payload_archive();
        },
        // The message goes to standard output, which a death test does not see.
        ::testing::ExitedWithCode(FAILURE_EXIT_STATUS), "");
}

}  // namespace
