// A small reader of 64-bit PE images for tests: header fields, sections,
// data directories, the resource tree, and the formats of the resources the
// launcher carries (icon directory, version block). Portable C++17, no Win32:
// it reads bytes and builds on both sides. Every offset is bounds-checked, so
// a truncated or corrupted image gives an error, not a crash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// Numeric resource types of the launcher image.
constexpr uint32_t type_icon = 3;
constexpr uint32_t type_rcdata = 10;
constexpr uint32_t type_group_icon = 14;
constexpr uint32_t type_version = 16;
constexpr uint32_t type_manifest = 24;

// Indexes into the data directory table.
constexpr size_t directory_resource = 2;
constexpr size_t directory_security = 4;  // a file offset, not an RVA
constexpr size_t directory_base_reloc = 5;

struct Section {
    std::string name;
    uint32_t virtual_address = 0;
    uint32_t virtual_size = 0;
    uint32_t raw_offset = 0;
    uint32_t raw_size = 0;
    uint32_t characteristics = 0;
};

struct DataDirectory {
    uint32_t address = 0;
    uint32_t size = 0;
};

// One leaf of the resource tree: type / name / language -> data entry.
// A named level keeps its name and leaves the number 0.
struct Resource {
    uint32_t type = 0;
    std::u16string type_name;
    uint32_t id = 0;
    std::u16string id_name;
    uint32_t language = 0;
    uint32_t data_rva = 0;
    uint32_t size = 0;
    uint32_t code_page = 0;
    uint32_t reserved = 0;
    size_t file_offset = 0;  // where the data lies in the file
};

struct Image {
    // COFF file header
    uint16_t machine = 0;
    uint16_t section_count = 0;
    uint16_t characteristics = 0;
    // optional header
    uint16_t magic = 0;
    uint64_t image_base = 0;
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint16_t os_major = 0, os_minor = 0;
    uint16_t subsystem_major = 0, subsystem_minor = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
    uint16_t dll_characteristics = 0;
    uint64_t stack_reserve = 0, stack_commit = 0;
    uint64_t heap_reserve = 0, heap_commit = 0;
    std::vector<DataDirectory> directories;
    std::vector<Section> sections;
    std::vector<Resource> resources;  // in tree order: type, then id, then language

    // Resource with numeric type and id, nullptr if absent (first language wins).
    const Resource* find(uint32_t type, uint32_t id) const;
    // File offset of an RVA, or SIZE_MAX if no section's raw data covers it.
    size_t rva_to_offset(uint32_t rva, uint32_t length = 0) const;
};

// Parses a PE32+ image. On failure returns false and says why in `error`.
bool parse_image(const std::vector<uint8_t>& file, Image& image, std::string& error);

// Whole-file read; false if the file cannot be opened or read.
bool read_file(const std::string& path, std::vector<uint8_t>& bytes);

// The bytes of a resource's data.
std::vector<uint8_t> resource_bytes(const std::vector<uint8_t>& file, const Resource& resource);

// RT_GROUP_ICON: header and 14-byte entries.
struct IconDirectoryEntry {
    uint8_t width = 0, height = 0, colour_count = 0, reserved = 0;
    uint16_t planes = 0, bit_count = 0;
    uint32_t bytes = 0;
    uint16_t id = 0;
};
struct IconDirectory {
    uint16_t reserved = 0, type = 0, count = 0;
    std::vector<IconDirectoryEntry> entries;
};
bool parse_icon_directory(const std::vector<uint8_t>& data, IconDirectory& dir, std::string& error);

// RT_VERSION: the fixed part, the strings of every string table in order with
// their raw header fields, and the translation values.
struct VersionString {
    std::u16string table;  // key of the string table that holds it
    std::u16string key;
    std::u16string value;  // up to the first terminator
    uint16_t length = 0;        // wLength of the node
    uint16_t value_length = 0;  // wValueLength as recorded
    uint16_t type = 0;          // wType
    size_t value_bytes = 0;     // bytes from the value's start to the node's end
};
struct VersionBlock {
    uint16_t length = 0;
    std::u16string key;
    uint32_t fixed[13] = {};  // VS_FIXEDFILEINFO as 13 little-endian words
    bool has_fixed = false;
    std::vector<std::u16string> string_tables;
    std::vector<VersionString> strings;
    std::vector<uint32_t> translations;  // language in the low word, code page in the high
    std::vector<std::u16string> top_level;  // keys of the children, in order
};
bool parse_version_block(const std::vector<uint8_t>& data, VersionBlock& block, std::string& error);

// ASCII text as UTF-16, for comparisons in tests.
std::u16string ascii16(const char* text);
std::string narrow(const std::u16string& text);  // non-ASCII units become '?'

}  // namespace pe
