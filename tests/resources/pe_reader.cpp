// Parsing of PE32+ images, their resource tree, icon directories and version
// blocks from bytes. Portable C++17; no Win32 calls.
#include "tests/resources/pe_reader.h"

#include <cstdint>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

constexpr uint16_t magic_pe32_plus = 0x20B;
constexpr size_t section_header_size = 40;
constexpr size_t resource_directory_size = 16;
constexpr size_t resource_entry_size = 8;
constexpr size_t resource_data_entry_size = 16;
constexpr uint32_t high_bit = 0x80000000u;
// type -> id -> language; anything deeper is malformed for an image.
constexpr int resource_levels = 3;
// Loops in a corrupt tree end here rather than recursing forever.
constexpr size_t max_resources = 1 << 16;

// Bounds-checked little-endian reads over a byte vector.
class Bytes {
public:
    explicit Bytes(const std::vector<uint8_t>& data) : data_(data) {}
    bool has(size_t offset, size_t length) const {
        return offset <= data_.size() && length <= data_.size() - offset;
    }
    uint16_t u16_at(size_t offset) const {
        return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    }
    uint32_t u32_at(size_t offset) const {
        return static_cast<uint32_t>(u16_at(offset)) |
               (static_cast<uint32_t>(u16_at(offset + 2)) << 16);
    }
    uint64_t u64_at(size_t offset) const {
        return static_cast<uint64_t>(u32_at(offset)) |
               (static_cast<uint64_t>(u32_at(offset + 4)) << 32);
    }
    size_t size() const { return data_.size(); }

private:
    const std::vector<uint8_t>& data_;
};

bool fail(std::string& error, const std::string& why) {
    error = why;
    return false;
}

struct ResourceWalk {
    const Bytes& bytes;
    const Image& image;
    size_t base;      // file offset of the root directory
    size_t end;       // end of the section's raw data
    std::vector<Resource>& out;
    std::string& error;

    bool read_name(uint32_t offset, std::u16string& name) {
        size_t at = base + offset;
        if (!bytes.has(at, 2) || at + 2 > end) return fail(error, "resource name outside section");
        uint16_t length = bytes.u16_at(at);
        if (!bytes.has(at + 2, size_t{length} * 2) || at + 2 + size_t{length} * 2 > end)
            return fail(error, "resource name outside section");
        name.clear();
        for (uint16_t i = 0; i < length; ++i) name.push_back(static_cast<char16_t>(bytes.u16_at(at + 2 + 2 * i)));
        return true;
    }

    bool walk(size_t directory, int level, Resource partial) {
        if (level >= resource_levels) return fail(error, "resource tree deeper than three levels");
        if (directory + resource_directory_size > end) return fail(error, "resource directory outside section");
        size_t count = size_t{bytes.u16_at(directory + 12)} + bytes.u16_at(directory + 14);
        for (size_t i = 0; i < count; ++i) {
            size_t entry = directory + resource_directory_size + i * resource_entry_size;
            if (entry + resource_entry_size > end) return fail(error, "resource entry outside section");
            uint32_t name = bytes.u32_at(entry);
            uint32_t target = bytes.u32_at(entry + 4);
            Resource r = partial;
            uint32_t number = 0;
            std::u16string text;
            if (name & high_bit) {
                if (!read_name(name & ~high_bit, text)) return false;
            } else {
                number = name;
            }
            if (level == 0) {
                r.type = number;
                r.type_name = text;
            } else if (level == 1) {
                r.id = number;
                r.id_name = text;
            } else {
                r.language = number;  // a named language is kept as its number 0
            }
            if (target & high_bit) {
                if (level == resource_levels - 1) return fail(error, "language level points to a directory");
                size_t sub = base + (target & ~high_bit);
                if (sub <= directory) return fail(error, "resource directory points backwards");
                if (!walk(sub, level + 1, r)) return false;
            } else {
                if (level != resource_levels - 1) return fail(error, "data entry above the language level");
                size_t leaf = base + target;
                if (leaf + resource_data_entry_size > end) return fail(error, "data entry outside section");
                r.data_rva = bytes.u32_at(leaf);
                r.size = bytes.u32_at(leaf + 4);
                r.code_page = bytes.u32_at(leaf + 8);
                r.reserved = bytes.u32_at(leaf + 12);
                r.file_offset = image.rva_to_offset(r.data_rva, r.size);
                if (r.file_offset == SIZE_MAX) return fail(error, "resource data outside the file");
                if (out.size() >= max_resources) return fail(error, "too many resources");
                out.push_back(r);
            }
        }
        return true;
    }
};

}  // namespace

const Resource* Image::find(uint32_t type, uint32_t id) const {
    for (const Resource& r : resources) {
        if (r.type_name.empty() && r.id_name.empty() && r.type == type && r.id == id) return &r;
    }
    return nullptr;
}

size_t Image::rva_to_offset(uint32_t rva, uint32_t length) const {
    for (const Section& s : sections) {
        uint64_t start = s.virtual_address;
        uint64_t end = start + s.raw_size;
        if (rva >= start && uint64_t{rva} + length <= end) return s.raw_offset + (rva - s.virtual_address);
    }
    return SIZE_MAX;
}

bool parse_image(const std::vector<uint8_t>& file, Image& image, std::string& error) {
    Bytes bytes(file);
    image = Image{};
    if (!bytes.has(0, 64) || file[0] != 'M' || file[1] != 'Z') return fail(error, "no MZ header");
    size_t pe = bytes.u32_at(0x3C);
    if (!bytes.has(pe, 24) || file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0 || file[pe + 3] != 0)
        return fail(error, "no PE signature");
    image.machine = bytes.u16_at(pe + 4);
    image.section_count = bytes.u16_at(pe + 6);
    uint16_t optional_size = bytes.u16_at(pe + 20);
    image.characteristics = bytes.u16_at(pe + 22);

    size_t opt = pe + 24;
    if (!bytes.has(opt, optional_size) || optional_size < 112) return fail(error, "optional header truncated");
    image.magic = bytes.u16_at(opt);
    if (image.magic != magic_pe32_plus) return fail(error, "not a PE32+ image");
    image.image_base = bytes.u64_at(opt + 24);
    image.section_alignment = bytes.u32_at(opt + 32);
    image.file_alignment = bytes.u32_at(opt + 36);
    image.os_major = bytes.u16_at(opt + 40);
    image.os_minor = bytes.u16_at(opt + 42);
    image.subsystem_major = bytes.u16_at(opt + 48);
    image.subsystem_minor = bytes.u16_at(opt + 50);
    image.size_of_image = bytes.u32_at(opt + 56);
    image.size_of_headers = bytes.u32_at(opt + 60);
    image.checksum = bytes.u32_at(opt + 64);
    image.subsystem = bytes.u16_at(opt + 68);
    image.dll_characteristics = bytes.u16_at(opt + 70);
    image.stack_reserve = bytes.u64_at(opt + 72);
    image.stack_commit = bytes.u64_at(opt + 80);
    image.heap_reserve = bytes.u64_at(opt + 88);
    image.heap_commit = bytes.u64_at(opt + 96);
    uint32_t directory_count = bytes.u32_at(opt + 108);
    if (directory_count > (optional_size - 112u) / 8u) return fail(error, "data directories truncated");
    for (uint32_t i = 0; i < directory_count; ++i) {
        image.directories.push_back({bytes.u32_at(opt + 112 + 8 * i), bytes.u32_at(opt + 116 + 8 * i)});
    }

    size_t table = opt + optional_size;
    if (!bytes.has(table, size_t{image.section_count} * section_header_size))
        return fail(error, "section table truncated");
    for (uint16_t i = 0; i < image.section_count; ++i) {
        size_t s = table + i * section_header_size;
        Section section;
        for (size_t c = 0; c < 8 && file[s + c] != 0; ++c) section.name.push_back(static_cast<char>(file[s + c]));
        section.virtual_size = bytes.u32_at(s + 8);
        section.virtual_address = bytes.u32_at(s + 12);
        section.raw_size = bytes.u32_at(s + 16);
        section.raw_offset = bytes.u32_at(s + 20);
        section.characteristics = bytes.u32_at(s + 36);
        if (!bytes.has(section.raw_offset, section.raw_size)) return fail(error, "section " + section.name + " beyond the file");
        image.sections.push_back(section);
    }

    if (image.directories.size() > directory_resource && image.directories[directory_resource].size != 0) {
        uint32_t rva = image.directories[directory_resource].address;
        const Section* holder = nullptr;
        for (const Section& s : image.sections) {
            if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) holder = &s;
        }
        if (holder == nullptr) return fail(error, "resource directory outside every section");
        size_t base = holder->raw_offset + (rva - holder->virtual_address);
        size_t end = size_t{holder->raw_offset} + holder->raw_size;
        ResourceWalk walk{bytes, image, base, end, image.resources, error};
        if (!walk.walk(base, 0, Resource{})) return false;
    }
    return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::vector<uint8_t> resource_bytes(const std::vector<uint8_t>& file, const Resource& resource) {
    if (resource.file_offset > file.size() || resource.size > file.size() - resource.file_offset) return {};
    auto first = file.begin() + static_cast<std::ptrdiff_t>(resource.file_offset);
    return std::vector<uint8_t>(first, first + resource.size);
}

bool parse_icon_directory(const std::vector<uint8_t>& data, IconDirectory& dir, std::string& error) {
    Bytes bytes(data);
    dir = IconDirectory{};
    if (!bytes.has(0, 6)) return fail(error, "icon directory shorter than its header");
    dir.reserved = bytes.u16_at(0);
    dir.type = bytes.u16_at(2);
    dir.count = bytes.u16_at(4);
    if (data.size() != 6 + size_t{dir.count} * 14) return fail(error, "icon directory size does not match its count");
    for (uint16_t i = 0; i < dir.count; ++i) {
        size_t e = 6 + size_t{i} * 14;
        IconDirectoryEntry entry;
        entry.width = data[e];
        entry.height = data[e + 1];
        entry.colour_count = data[e + 2];
        entry.reserved = data[e + 3];
        entry.planes = bytes.u16_at(e + 4);
        entry.bit_count = bytes.u16_at(e + 6);
        entry.bytes = bytes.u32_at(e + 8);
        entry.id = bytes.u16_at(e + 12);
        dir.entries.push_back(entry);
    }
    return true;
}

namespace {

size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

// One node of a version block: wLength, wValueLength, wType, key, value, children.
struct VersionNode {
    size_t start = 0, end = 0;  // end = start + wLength
    uint16_t length = 0, value_length = 0, type = 0;
    std::u16string key;
    size_t value_start = 0;
    size_t children_start = 0;  // first child; depends on the value's size in bytes
};

bool read_node(const Bytes& bytes, size_t start, size_t limit, VersionNode& node, std::string& error) {
    if (start + 6 > limit) return fail(error, "version node header beyond its parent");
    node.start = start;
    node.length = bytes.u16_at(start);
    node.value_length = bytes.u16_at(start + 2);
    node.type = bytes.u16_at(start + 4);
    if (node.length < 6 || start + node.length > limit) return fail(error, "version node length beyond its parent");
    node.end = start + node.length;
    node.key.clear();
    size_t at = start + 6;
    for (;; at += 2) {
        if (at + 2 > node.end) return fail(error, "version node key not terminated");
        uint16_t unit = bytes.u16_at(at);
        if (unit == 0) break;
        node.key.push_back(static_cast<char16_t>(unit));
    }
    node.value_start = align4(at + 2);
    return true;
}

std::u16string read_text(const Bytes& bytes, size_t start, size_t end) {
    std::u16string text;
    for (size_t at = start; at + 2 <= end; at += 2) {
        uint16_t unit = bytes.u16_at(at);
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return text;
}

}  // namespace

bool parse_version_block(const std::vector<uint8_t>& data, VersionBlock& block, std::string& error) {
    Bytes bytes(data);
    block = VersionBlock{};
    VersionNode root;
    if (!read_node(bytes, 0, data.size(), root, error)) return false;
    block.length = root.length;
    block.key = root.key;
    size_t child = root.value_start;
    if (root.value_length != 0) {
        if (root.value_length != 52 || root.value_start + 52 > root.end)
            return fail(error, "fixed file information is not 52 bytes");
        block.has_fixed = true;
        for (size_t i = 0; i < 13; ++i) block.fixed[i] = bytes.u32_at(root.value_start + 4 * i);
        child = align4(root.value_start + 52);
    }
    for (; child < root.end; ) {
        VersionNode info;
        if (!read_node(bytes, child, root.end, info, error)) return false;
        block.top_level.push_back(info.key);
        if (info.key == u"StringFileInfo") {
            for (size_t t = info.value_start; t < info.end; ) {
                VersionNode table;
                if (!read_node(bytes, t, info.end, table, error)) return false;
                block.string_tables.push_back(table.key);
                for (size_t s = table.value_start; s < table.end; ) {
                    VersionNode str;
                    if (!read_node(bytes, s, table.end, str, error)) return false;
                    VersionString vs;
                    vs.table = table.key;
                    vs.key = str.key;
                    vs.length = str.length;
                    vs.value_length = str.value_length;
                    vs.type = str.type;
                    vs.value_bytes = str.end > str.value_start ? str.end - str.value_start : 0;
                    vs.value = read_text(bytes, str.value_start, str.end);
                    block.strings.push_back(vs);
                    s = align4(str.end);
                }
                t = align4(table.end);
            }
        } else if (info.key == u"VarFileInfo") {
            for (size_t v = info.value_start; v < info.end; ) {
                VersionNode var;
                if (!read_node(bytes, v, info.end, var, error)) return false;
                if (var.value_start + var.value_length > var.end) return fail(error, "translation value beyond its node");
                for (size_t at = var.value_start; at + 4 <= var.value_start + var.value_length; at += 4)
                    block.translations.push_back(bytes.u32_at(at));
                v = align4(var.end);
            }
        }
        child = align4(info.end);
    }
    return true;
}

std::u16string ascii16(const char* text) {
    std::u16string out;
    for (; *text; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return out;
}

}  // namespace pe
