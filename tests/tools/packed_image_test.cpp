// A test program packed with onefile-pack after linking: under Wine it finds
// its own resource 27, walks it with the launcher's reader and writes every
// entry with the launcher's writer; each file must equal the original, read
// through Wine's Z: drive.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "format/little_endian.h"
#include "payload/archive_resource.h"
#include "payload/extraction.h"
#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

std::string read_whole(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
    std::string data;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data.append(chunk, got);
    CloseHandle(file);
    return data;
}

void list_files(const std::wstring& root, const std::wstring& prefix, std::vector<std::wstring>& names) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + L"\\" + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) list_files(root, prefix + name + L"\\", names);
        else names.push_back(prefix + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

u16 target_path[TARGET_PATH_CAPACITY];
u16 first_entry_path[FIRST_ENTRY_PATH_CAPACITY];
uint8_t write_buffer[WRITE_CHUNK_SIZE];

TEST(PackedImage, WriterReproducesThePackedTree) {
    wchar_t tree[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"ONEFILE_TEST_TREE", tree, MAX_PATH), 0u);

    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(27), MAKEINTRESOURCEA(10));
    ASSERT_NE(found, nullptr);
    payload_archive archive = open_payload_archive();
    const size_t size = static_cast<size_t>(archive.end - archive.base);
    EXPECT_EQ(size, SizeofResource(nullptr, found));
    EXPECT_EQ(load_le64(archive.base + size - TRAILER_SIZE), size - TRAILER_SIZE);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring run = std::wstring(temp) + L"packed_image_" + std::to_wstring(GetCurrentProcessId());

    ASSERT_TRUE(check_payload_header(archive));
    directory_cache cache{};
    u16 name[ENTRY_NAME_CAPACITY];
    std::vector<std::wstring> names;
    for (;;) {
        read_status status = read_entry_name(archive, name);
        if (status == read_status::end_marker) break;
        ASSERT_EQ(status, read_status::ok);
        names.push_back(name);
        make_target_path(target_path, run.c_str(), name, first_entry_path);
        uint64_t entry_size = 0;
        ASSERT_EQ(read_entry_size(archive, entry_size), read_status::ok);
        write_payload_entry(archive, entry_size, target_path, cache, write_buffer);
    }
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), L"main.dll");
    EXPECT_EQ(std::wstring(first_entry_path), run + L"\\main.dll");

    std::vector<std::wstring> originals;
    list_files(tree, L"", originals);
    EXPECT_EQ(originals.size(), names.size());
    for (const std::wstring& entry : names) {
        EXPECT_EQ(read_whole(run + L"\\" + entry), read_whole(std::wstring(tree) + L"\\" + entry))
            << std::string(entry.begin(), entry.end());
    }
}

}  // namespace
