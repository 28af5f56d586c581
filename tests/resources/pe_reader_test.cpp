// The PE reader on damaged input: it serves the packer's tests too, so a
// truncated or corrupted image must give an error, never a read outside the
// buffer (AddressSanitizer watches) or an endless walk. And the libraries the
// built stub imports, read through it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "tests/resources/pe_reader.h"

namespace {

std::vector<uint8_t> stub_or_skip() {
    std::vector<uint8_t> bytes;
    struct stat st;
    if (stat(ONEFILE_STUB_PATH, &st) != 0) return bytes;
    pe::read_file(ONEFILE_STUB_PATH, bytes);
    return bytes;
}

size_t end_of_sections(const pe::Image& image) {
    size_t end = 0;
    for (const pe::Section& s : image.sections) end = std::max(end, size_t{s.raw_offset} + s.raw_size);
    return end;
}

TEST(pe_reader_damaged_image, every_truncation_inside_the_sections_is_an_error) {
    std::vector<uint8_t> file = stub_or_skip();
    if (file.empty()) GTEST_SKIP() << "no launcher stub at " << ONEFILE_STUB_PATH;
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::parse_image(file, image, error)) << error;
    size_t end = end_of_sections(image);
    ASSERT_LE(end, file.size());
    // Every byte of the headers, then coarser steps through the sections.
    for (size_t length = 0; length < end; length += length < image.size_of_headers ? 1 : 509) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        pe::Image partial;
        EXPECT_FALSE(pe::parse_image(cut, partial, error)) << "accepted at length " << length;
    }
}

TEST(pe_reader_damaged_image, corrupt_resource_tree_bytes_stay_inside_the_buffer) {
    std::vector<uint8_t> file = stub_or_skip();
    if (file.empty()) GTEST_SKIP() << "no launcher stub at " << ONEFILE_STUB_PATH;
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::parse_image(file, image, error)) << error;
    ASSERT_FALSE(image.resources.empty());
    const pe::DataDirectory& rsrc = image.directories[pe::directory_resource];
    size_t base = image.rva_to_offset(rsrc.address);
    ASSERT_NE(base, SIZE_MAX);
    // The directory tables and data entries of the launcher lie well inside
    // the first 512 bytes of the section; each value hits a different check.
    const uint8_t values[] = {0x00, 0x7F, 0x80, 0xFF};
    size_t span = std::min<size_t>(512, rsrc.size);
    // One copy damaged a byte at a time and mended after: a megabyte copied
    // per case would make this the slowest test of the run.
    std::vector<uint8_t> damaged = file;
    for (size_t at = base; at < base + span; ++at) {
        for (uint8_t v : values) {
            damaged[at] = v;
            pe::Image out;
            pe::parse_image(damaged, out, error);  // any verdict, but no overread
            for (const pe::Resource& r : out.resources) {
                ASSERT_LE(r.file_offset + r.size, damaged.size()) << "byte " << at;
            }
        }
        damaged[at] = file[at];
    }
}

std::vector<uint8_t> node(uint16_t length, const char* key) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 0, 0, 0, 0};
    for (const char* c = key;; ++c) {
        out.push_back(static_cast<uint8_t>(*c));
        out.push_back(0);
        if (*c == 0) break;
    }
    while (out.size() % 4) out.push_back(0);
    return out;
}

TEST(pe_reader_damaged_version_block, zero_length_child_is_rejected_rather_than_looped_on) {
    std::vector<uint8_t> block = node(0, "VS_VERSION_INFO");
    std::vector<uint8_t> child = node(0, "StringFileInfo");
    block.insert(block.end(), child.begin(), child.end());
    block[0] = static_cast<uint8_t>(block.size());
    pe::VersionBlock parsed;
    std::string error;
    EXPECT_FALSE(pe::parse_version_block(block, parsed, error));
    EXPECT_FALSE(error.empty());
}

TEST(pe_reader_damaged_version_block, child_longer_than_its_parent_is_rejected) {
    std::vector<uint8_t> block = node(0, "VS_VERSION_INFO");
    std::vector<uint8_t> child = node(200, "VarFileInfo");
    block.insert(block.end(), child.begin(), child.end());
    block[0] = static_cast<uint8_t>(block.size());
    pe::VersionBlock parsed;
    std::string error;
    EXPECT_FALSE(pe::parse_version_block(block, parsed, error));
}

TEST(pe_reader_damaged_icon_directory, count_that_disagrees_with_the_size_is_rejected) {
    // Header says two entries, data holds one.
    std::vector<uint8_t> dir = {0, 0, 1, 0, 2, 0};
    dir.resize(6 + 14);
    pe::IconDirectory parsed;
    std::string error;
    EXPECT_FALSE(pe::parse_icon_directory(dir, parsed, error));
    dir[4] = 1;
    EXPECT_TRUE(pe::parse_icon_directory(dir, parsed, error)) << error;
}

// Every library the stub imports is on the system's known-libraries list,
// so none is taken from beside a downloaded launcher; the others (shell32,
// user32, gdi32, comctl32) are loaded by name when first needed.
TEST(launcher_stub_imports, are_the_known_system_libraries_alone) {
    std::vector<uint8_t> file = stub_or_skip();
    if (file.empty()) GTEST_SKIP() << "no launcher stub at " << ONEFILE_STUB_PATH;
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::parse_image(file, image, error)) << error;
    constexpr size_t directory_import = 1;
    ASSERT_GT(image.directories.size(), directory_import);
    uint32_t at = image.directories[directory_import].address;
    std::set<std::string> names;
    // Descriptors of 20 bytes, the name's address at 12, ended by zeros.
    for (;; at += 20) {
        size_t offset = image.rva_to_offset(at, 20);
        ASSERT_NE(offset, SIZE_MAX);
        uint32_t name = 0;
        for (int byte = 0; byte < 4; ++byte) name |= uint32_t{file[offset + 12 + byte]} << (8 * byte);
        if (name == 0) break;
        size_t text = image.rva_to_offset(name, 1);
        ASSERT_NE(text, SIZE_MAX);
        std::string library;
        for (; text < file.size() && file[text] != 0; ++text)
            library += static_cast<char>(std::toupper(file[text]));
        names.insert(library);
    }
    EXPECT_EQ(names, (std::set<std::string>{"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "NTDLL.DLL"}));
}

}  // namespace
