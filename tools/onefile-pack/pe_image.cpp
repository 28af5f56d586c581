// The PE32+ image: reading its headers and resource tree, and writing the
// packed (or only branded) image. The stub's sections stay where the linker
// put them; the complete resource tree, the stub's own resources (rebranded
// if asked) and the payload as resource 27, goes into the stub's resource
// section when that is the last one and holds the tree alone, else into one
// new last section. Nothing follows it, so the image can be signed afterwards.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>

#include "pack.h"
#include "resources/branding_record.h"
#include "resources/little_endian.h"

namespace pack {

// RVAs, SizeOfImage and resource sizes are 32-bit fields, so an image ends
// below 4 GiB. Wine 8 starts images up to that bound (measured: SizeOfImage
// 0xFFFFF000 loads, and its payload section is mapped, 7 MB resident with a
// 1 GiB payload), so the format's own bound is the limit the packer keeps.
const uint64_t MAX_IMAGE_SIZE = 0xFFFFF000ull;

namespace {

constexpr uint32_t PAGE_SIZE = 4096;
constexpr uint16_t MACHINE_AMD64 = 0x8664;
constexpr uint16_t MAGIC_PE32_PLUS = 0x20B;
constexpr uint32_t RESOURCE_DIRECTORY = 2;
constexpr uint32_t SECURITY_DIRECTORY = 4;
constexpr uint16_t RT_RCDATA = 10;
constexpr uint16_t PAYLOAD_ID = 27;
constexpr uint32_t PAYLOAD_CODE_PAGE = 1252;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t SCN_INITIALIZED_DATA_READ = 0x00000040 | 0x40000000;
constexpr uint64_t MAX_STUB_SIZE = 256ull << 20;
constexpr size_t MAX_RESOURCE_ENTRIES = 65536;

using read_at_fn = std::function<std::vector<uint8_t>(uint64_t offset, size_t count)>;

uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

struct section_header {
    uint32_t virtual_size, virtual_address, raw_size, raw_offset;
};

struct pe_layout {
    uint32_t optional_offset = 0;
    uint32_t section_table_offset = 0;
    uint16_t section_count = 0;
    uint32_t section_alignment = 0, file_alignment = 0, size_of_headers = 0;
    uint32_t resource_rva = 0, resource_size = 0, security_size = 0;
    std::vector<section_header> sections;
};

pack_error not_pe(const std::string& why) { return pack_error("not a 64-bit Windows image (PE32+): " + why); }

pe_layout parse_layout(const read_at_fn& read_at) {
    std::vector<uint8_t> dos = read_at(0, 64);
    if (dos[0] != 'M' || dos[1] != 'Z') throw not_pe("no MZ signature");
    pe_layout layout;
    uint32_t pe = get32(dos, 0x3C);
    std::vector<uint8_t> coff = read_at(pe, 24);
    if (std::memcmp(coff.data(), "PE\0\0", 4) != 0) throw not_pe("no PE signature");
    if (get16(coff, 4) != MACHINE_AMD64) throw not_pe("machine is not x86-64");
    layout.section_count = get16(coff, 6);
    uint16_t optional_size = get16(coff, 20);
    layout.optional_offset = pe + 24;
    if (optional_size < 112 + 8 * (SECURITY_DIRECTORY + 1)) throw not_pe("optional header too small");
    std::vector<uint8_t> opt = read_at(layout.optional_offset, optional_size);
    if (get16(opt, 0) != MAGIC_PE32_PLUS) throw not_pe("optional header is not PE32+");
    layout.section_alignment = get32(opt, 32);
    layout.file_alignment = get32(opt, 36);
    layout.size_of_headers = get32(opt, 60);
    uint32_t directories = get32(opt, 108);
    if (directories <= SECURITY_DIRECTORY) throw not_pe("too few data directories");
    layout.resource_rva = get32(opt, 112 + 8 * RESOURCE_DIRECTORY);
    layout.resource_size = get32(opt, 112 + 8 * RESOURCE_DIRECTORY + 4);
    layout.security_size = get32(opt, 112 + 8 * SECURITY_DIRECTORY + 4);
    auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!power_of_two(layout.file_alignment) || !power_of_two(layout.section_alignment) ||
        layout.section_alignment < PAGE_SIZE)
        throw not_pe("unusual alignment");
    layout.section_table_offset = layout.optional_offset + optional_size;
    // Checked here so that later header edits stay inside the copied bytes.
    read_at(0, layout.size_of_headers);
    if (layout.section_table_offset + SECTION_HEADER_SIZE * layout.section_count > layout.size_of_headers)
        throw not_pe("section table lies outside the headers");
    std::vector<uint8_t> table = read_at(layout.section_table_offset, SECTION_HEADER_SIZE * layout.section_count);
    for (uint16_t i = 0; i < layout.section_count; ++i) {
        size_t at = i * SECTION_HEADER_SIZE;
        layout.sections.push_back({get32(table, at + 8), get32(table, at + 12), get32(table, at + 16), get32(table, at + 20)});
    }
    return layout;
}

// File offset of `size` bytes at `rva`, which must lie in one section's raw data.
uint64_t rva_to_offset(const pe_layout& layout, uint32_t rva, uint64_t size) {
    for (const section_header& s : layout.sections) {
        if (rva >= s.virtual_address && static_cast<uint64_t>(rva) - s.virtual_address + size <= s.raw_size)
            return static_cast<uint64_t>(s.raw_offset) + (rva - s.virtual_address);
    }
    throw pack_error("resource data lies outside the image's sections");
}

std::vector<resource_leaf> walk_resources(const pe_layout& layout, const read_at_fn& read_at) {
    std::vector<resource_leaf> leaves;
    if (layout.resource_rva == 0 || layout.resource_size == 0) return leaves;
    const uint32_t size = layout.resource_size;
    const uint64_t base = rva_to_offset(layout, layout.resource_rva, size);
    auto bytes = [&](uint32_t at, size_t count) {
        if (static_cast<uint64_t>(at) + count > size) throw pack_error("resource tree is damaged");
        return read_at(base + at, count);
    };
    size_t visited = 0;
    std::function<void(uint32_t, int, resource_leaf&)> visit = [&](uint32_t at, int depth, resource_leaf& path) {
        std::vector<uint8_t> dir = bytes(at, 16);
        uint32_t count = static_cast<uint32_t>(get16(dir, 12)) + get16(dir, 14);
        std::vector<uint8_t> entries = bytes(at + 16, 8 * count);
        for (uint32_t i = 0; i < count; ++i) {
            if (++visited > MAX_RESOURCE_ENTRIES) throw pack_error("resource tree is damaged");
            uint32_t name = get32(entries, 8 * i), target = get32(entries, 8 * i + 4);
            resource_key key;
            if (name & 0x80000000u) {
                key.named = true;
                std::vector<uint8_t> length = bytes(name & 0x7FFFFFFFu, 2);
                std::vector<uint8_t> units = bytes((name & 0x7FFFFFFFu) + 2, 2 * get16(length, 0));
                for (size_t k = 0; k < units.size(); k += 2) key.name += static_cast<char16_t>(get16(units, k));
            } else {
                key.id = static_cast<uint16_t>(name);
            }
            (depth == 0 ? path.type : depth == 1 ? path.name : path.language) = key;
            bool is_directory = (target & 0x80000000u) != 0;
            if (depth < 2) {
                if (!is_directory) throw pack_error("resource tree is damaged");
                visit(target & 0x7FFFFFFFu, depth + 1, path);
            } else {
                if (is_directory) throw pack_error("resource tree is damaged");
                std::vector<uint8_t> data = bytes(target, 16);
                resource_leaf leaf = path;
                leaf.data_rva = get32(data, 0);
                leaf.size = get32(data, 4);
                leaf.code_page = get32(data, 8);
                leaves.push_back(leaf);
            }
        }
    };
    resource_leaf path;
    visit(0, 0, path);
    return leaves;
}

read_at_fn memory_reader(const std::vector<uint8_t>& image) {
    return [&image](uint64_t offset, size_t count) {
        if (offset > image.size() || count > image.size() - offset) throw not_pe("header or table past the end of the file");
        return std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                    image.begin() + static_cast<std::ptrdiff_t>(offset + count));
    };
}

// Reads from a file of `file_size` bytes; a read past its end throws `past_end`.
read_at_fn stream_reader(std::istream& in, uint64_t file_size, const pack_error& past_end) {
    return [&in, file_size, past_end](uint64_t offset, size_t count) {
        if (offset > file_size || count > file_size - offset) throw past_end;
        return read_stream_bytes(in, offset, count);
    };
}

bool is_payload(const resource_leaf& leaf) {
    return !leaf.type.named && leaf.type.id == RT_RCDATA && !leaf.name.named && leaf.name.id == PAYLOAD_ID;
}

// The new resource section: directories, data entries, name strings, the
// stub's resource data, then the payload at `payload_offset`.
struct resource_section {
    std::vector<uint8_t> head;
    uint64_t payload_offset;
};

resource_section build_resource_section(const std::vector<resource_leaf>& leaves,
                                        const std::vector<std::vector<uint8_t>>& data,
                                        uint32_t payload_size, uint32_t section_rva) {
    using lang_map = std::map<resource_key, size_t>;
    using name_map = std::map<resource_key, lang_map>;
    std::map<resource_key, name_map> tree;
    for (size_t i = 0; i < leaves.size(); ++i) tree[leaves[i].type][leaves[i].name][leaves[i].language] = i;

    // Sizes first, so every offset is known before a byte is placed.
    uint32_t directories_size = 16 + 8 * static_cast<uint32_t>(tree.size());
    for (auto& [type, names] : tree) {
        directories_size += 16 + 8 * static_cast<uint32_t>(names.size());
        for (auto& [name, langs] : names) directories_size += 16 + 8 * static_cast<uint32_t>(langs.size());
    }
    uint32_t data_entries_at = directories_size;
    uint32_t strings_at = data_entries_at + 16 * static_cast<uint32_t>(leaves.size());
    std::vector<uint8_t> strings;
    std::map<std::u16string, uint32_t> string_offsets;
    auto string_offset = [&](const resource_key& key) -> uint32_t {
        auto found = string_offsets.find(key.name);
        if (found != string_offsets.end()) return found->second;
        uint32_t at = strings_at + static_cast<uint32_t>(strings.size());
        strings.push_back(static_cast<uint8_t>(key.name.size()));
        strings.push_back(static_cast<uint8_t>(key.name.size() >> 8));
        for (char16_t u : key.name) {
            strings.push_back(static_cast<uint8_t>(u));
            strings.push_back(static_cast<uint8_t>(u >> 8));
        }
        string_offsets[key.name] = at;
        return at;
    };
    for (const resource_leaf& leaf : leaves) {
        for (const resource_key* key : {&leaf.type, &leaf.name, &leaf.language})
            if (key->named) string_offset(*key);
    }
    uint64_t data_at = align_up(strings_at + strings.size(), 8);
    std::vector<uint64_t> leaf_data_at(leaves.size());
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (is_payload(leaves[i])) continue;
        leaf_data_at[i] = data_at;
        data_at = align_up(data_at + data[i].size(), 8);
    }
    uint64_t payload_offset = data_at;
    std::vector<uint8_t> head(payload_offset, 0);

    auto write_directory = [&](uint32_t at, size_t named, size_t ids) {
        set16(head, at + 12, static_cast<uint32_t>(named));
        set16(head, at + 14, static_cast<uint32_t>(ids));
    };
    auto key_field = [&](const resource_key& key) { return key.named ? 0x80000000u | string_offset(key) : key.id; };
    auto count_named = [](const auto& map) {
        size_t n = 0;
        for (auto& item : map) n += item.first.named ? 1 : 0;
        return n;
    };

    uint32_t next_directory = 16 + 8 * static_cast<uint32_t>(tree.size());
    write_directory(0, count_named(tree), tree.size() - count_named(tree));
    uint32_t root_entry = 16;
    // Breadth first: the type directories, then the name directories.
    std::vector<std::pair<uint32_t, const name_map*>> type_dirs;
    for (auto& [type, names] : tree) {
        set32(head, root_entry, key_field(type));
        set32(head, root_entry + 4, 0x80000000u | next_directory);
        type_dirs.emplace_back(next_directory, &names);
        next_directory += 16 + 8 * static_cast<uint32_t>(names.size());
        root_entry += 8;
    }
    uint32_t next_data_entry = data_entries_at;
    for (auto& [type_at, names] : type_dirs) {
        write_directory(type_at, count_named(*names), names->size() - count_named(*names));
        uint32_t entry = type_at + 16;
        for (auto& [name, langs] : *names) {
            set32(head, entry, key_field(name));
            set32(head, entry + 4, 0x80000000u | next_directory);
            write_directory(next_directory, count_named(langs), langs.size() - count_named(langs));
            uint32_t lang_entry = next_directory + 16;
            for (auto& [lang, index] : langs) {
                const resource_leaf& leaf = leaves[index];
                set32(head, lang_entry, key_field(lang));
                set32(head, lang_entry + 4, next_data_entry);
                uint64_t offset = is_payload(leaf) ? payload_offset : leaf_data_at[index];
                uint32_t size = is_payload(leaf) ? payload_size : static_cast<uint32_t>(data[index].size());
                set32(head, next_data_entry, section_rva + static_cast<uint32_t>(offset));
                set32(head, next_data_entry + 4, size);
                set32(head, next_data_entry + 8, leaf.code_page);
                if (!is_payload(leaf)) std::copy(data[index].begin(), data[index].end(), head.begin() + static_cast<std::ptrdiff_t>(offset));
                next_data_entry += 16;
                lang_entry += 8;
            }
            next_directory += 16 + 8 * static_cast<uint32_t>(langs.size());
            entry += 8;
        }
    }
    std::copy(strings.begin(), strings.end(), head.begin() + strings_at);
    return {head, payload_offset};
}

std::vector<uint8_t> read_whole_stub(const fs::path& stub) {
    std::error_code error;
    uint64_t size = fs::file_size(stub, error);
    if (error) throw pack_error("cannot read stub " + stub.string() + ": " + error.message());
    if (size > MAX_STUB_SIZE) throw pack_error("stub is larger than 256 MiB: " + stub.string());
    std::ifstream in(stub, std::ios::binary);
    std::vector<uint8_t> image(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(size));
    if (!in) throw pack_error("cannot read stub " + stub.string());
    return image;
}

// A name beside the output, renamed over it only once it is complete.
fs::path temporary_beside(const fs::path& output) {
    fs::path temporary = output;
    temporary += ".partial";
    return temporary;
}

void finish_output(output_file& out, const fs::path& temporary, const fs::path& output) {
    out.close();
    std::error_code error;
#ifdef _WIN32
    fs::remove(output, error);  // the runtime's rename does not replace
#endif
    fs::rename(temporary, output, error);
    if (error) throw pack_error("cannot rename " + temporary.string() + " to " + output.string() + ": " + error.message());
}

template <typename Body>
void writing_to(const fs::path& output, Body body) {
    fs::path temporary = temporary_beside(output);
    try {
        output_file out(temporary);
        body(out);
        finish_output(out, temporary, output);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

// A payload written beforehand, copied into the image (into `digest` too).
void copy_file_into(const fs::path& path, uint64_t size, output_file& out, sha256* digest) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    out.digest = digest;
    while (size > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
        in.read(buffer.data(), static_cast<std::streamsize>(part));
        if (static_cast<size_t>(in.gcount()) != part) throw pack_error("cannot read " + path.string());
        out.write(buffer.data(), part);
        size -= part;
    }
    out.digest = nullptr;
}

}  // namespace

bool operator<(const resource_key& a, const resource_key& b) {
    // Named entries come first, in the order of their units; then ids.
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}
bool operator==(const resource_key& a, const resource_key& b) {
    return a.named == b.named && a.id == b.id && a.name == b.name;
}

bool is_branding_record(const std::vector<uint8_t>& bytes, size_t at) {
    if (std::memcmp(&bytes[at], BRANDING_MARK, sizeof BRANDING_MARK) != 0) return false;
    uint32_t size = get32(bytes, at + offsetof(branding_record, record_size));
    return size == sizeof(branding_record) || size == BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE;
}

bool has_run_directory_field(const std::vector<uint8_t>& bytes, size_t at) {
    return get32(bytes, at + offsetof(branding_record, record_size)) == sizeof(branding_record);
}

std::vector<uint8_t> read_stream_bytes(std::istream& in, uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    if (static_cast<size_t>(in.gcount()) != count) throw pack_error("image is truncated");
    return bytes;
}

std::vector<resource_leaf> read_resources(const std::vector<uint8_t>& image) {
    read_at_fn read_at = memory_reader(image);
    return walk_resources(parse_layout(read_at), read_at);
}

payload_location locate_payload(std::istream& in, uint64_t file_size) {
    read_at_fn read_at = stream_reader(in, file_size, pack_error("image is truncated"));
    std::vector<uint8_t> start = read_at(0, std::min<uint64_t>(3, file_size));
    if (start.size() == 3 && start[0] == 'K' && start[1] == 'A' && (start[2] == 'X' || start[2] == 'Z')) return {0, file_size};
    pe_layout layout = parse_layout(read_at);
    for (const resource_leaf& leaf : walk_resources(layout, read_at)) {
        if (is_payload(leaf)) return {rva_to_offset(layout, leaf.data_rva, leaf.size), leaf.size};
    }
    throw pack_error("image carries no payload (resource 27)");
}

image_summary summarise_image(std::istream& in, uint64_t file_size) {
    read_at_fn read_at = stream_reader(in, file_size, not_pe("header or table past the end of the file"));
    pe_layout layout = parse_layout(read_at);
    image_summary summary;
    summary.has_signature = layout.security_size != 0;
    std::vector<uint8_t> table = read_at(layout.section_table_offset, SECTION_HEADER_SIZE * layout.section_count);
    for (uint16_t i = 0; i < layout.section_count; ++i) {
        const char* name = reinterpret_cast<const char*>(&table[i * SECTION_HEADER_SIZE]);
        const section_header& s = layout.sections[i];
        summary.sections.push_back({std::string(name, strnlen(name, 8)), s.raw_offset, s.raw_size});
    }
    for (const resource_leaf& leaf : walk_resources(layout, read_at))
        summary.resources.emplace_back(leaf, rva_to_offset(layout, leaf.data_rva, leaf.size));
    return summary;
}

namespace {

constexpr uint16_t FILE_LINE_NUMS_STRIPPED = 0x0004, FILE_LOCAL_SYMS_STRIPPED = 0x0008;
constexpr uint32_t DIRECTORY_COUNT = 16;

// The stub read and checked, with its resources, before any output exists.
struct loaded_stub {
    std::vector<uint8_t> image;
    pe_layout layout;
    std::vector<resource_leaf> leaves;
    std::vector<std::vector<uint8_t>> data;
    int brand_section = -1;  // index of the branding record's section
    // File offset of the record's payload digest when its template is a
    // cache's: the archive's SHA-256 goes there. 0 otherwise.
    size_t digest_offset = 0;
};

std::string section_name(const std::vector<uint8_t>& image, const pe_layout& layout, size_t i) {
    const char* name = reinterpret_cast<const char*>(&image[layout.section_table_offset + i * SECTION_HEADER_SIZE]);
    return std::string(name, strnlen(name, 8));
}

loaded_stub load_stub(const fs::path& stub) {
    loaded_stub s;
    s.image = read_whole_stub(stub);
    read_at_fn read_at = memory_reader(s.image);
    s.layout = parse_layout(read_at);
    if (s.layout.security_size != 0)
        throw pack_error("stub is signed; pack the unsigned stub and sign the packed image");
    s.leaves = walk_resources(s.layout, read_at);
    for (const resource_leaf& leaf : s.leaves) {
        if (is_payload(leaf)) throw pack_error("stub already carries a payload (resource 27): " + stub.string());
        s.data.push_back(read_at(rva_to_offset(s.layout, leaf.data_rva, leaf.size), leaf.size));
    }
    for (size_t i = 0; i < s.layout.sections.size(); ++i)
        if (section_name(s.image, s.layout, i) == std::string(BRANDING_SECTION_NAME)) s.brand_section = static_cast<int>(i);
    return s;
}

// File offset of the branding record, at the start of its section's raw
// data, checked by its mark and size.
size_t record_offset(const loaded_stub& s) {
    const section_header& h = s.layout.sections[static_cast<size_t>(s.brand_section)];
    auto fits = [&](size_t size) { return h.raw_size >= size && static_cast<uint64_t>(h.raw_offset) + size <= s.image.size(); };
    if (!fits(BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE) || !is_branding_record(s.image, h.raw_offset) ||
        (has_run_directory_field(s.image, h.raw_offset) && !fits(sizeof(branding_record))))
        throw pack_error("the stub's section .brand holds no branding record this packer knows");
    return h.raw_offset;
}

std::u16string record_text(const std::vector<uint8_t>& image, size_t at, size_t capacity) {
    std::u16string text;
    for (size_t i = 0; i < capacity; ++i) {
        char16_t u = get16(image, at + 2 * i);
        if (u == 0) break;
        text += u;
    }
    return text;
}

void put_record_text(std::vector<uint8_t>& image, size_t at, size_t capacity, const std::u16string& text) {
    if (text.size() >= capacity) throw pack_error("text too long for the branding record: " + to_utf8(text));
    for (size_t i = 0; i < capacity; ++i) set16(image, at + 2 * i, i < text.size() ? text[i] : 0);
}

// Rewrites resources and record for `branding`, if any option is given;
// --run-directory alone changes the record only.
void brand_loaded(loaded_stub& s, const branding_options* branding, const fs::path& output) {
    if (branding == nullptr) return;
    if (branding->no_progress) {
        if (s.brand_section < 0)
            throw option_error("--no-progress", "the stub has no branding record (section .brand) to keep it in");
        size_t flags_at = record_offset(s) + offsetof(branding_record, flags);
        set32(s.image, flags_at, get32(s.image, flags_at) | BRANDING_FLAG_NO_PROGRESS);
    }
    bool run_directory = !branding->run_directory.empty();
    if (!branding->any() && !run_directory) return;
    record_texts stub_record;
    size_t at = 0;
    if (s.brand_section >= 0) {
        at = record_offset(s);
        stub_record = {record_text(s.image, at + offsetof(branding_record, company), BRANDING_TEXT_CAPACITY),
                       record_text(s.image, at + offsetof(branding_record, product), BRANDING_TEXT_CAPACITY),
                       record_text(s.image, at + offsetof(branding_record, version), BRANDING_VERSION_CAPACITY)};
    }
    if (run_directory && (s.brand_section < 0 || !has_run_directory_field(s.image, at)))
        throw option_error("--run-directory", "the stub's branding record holds no run-directory template "
                                              "(a launcher release before templates); use a newer stub");
    record_texts texts = stub_record;
    if (branding->any())
        texts = apply_branding(*branding, from_utf8(output.filename().u8string()),
                               s.brand_section >= 0 ? &stub_record : nullptr, s.leaves, s.data);
    // Checked against the texts the record will hold; nothing is written yet.
    std::u16string path_template = run_directory ? checked_run_directory(branding->run_directory, texts) : u"";
    if (s.brand_section < 0) return;
    // launcher_version is the launcher's own release and stays as it is.
    if (branding->any()) {
        put_record_text(s.image, at + offsetof(branding_record, company), BRANDING_TEXT_CAPACITY, texts.company);
        put_record_text(s.image, at + offsetof(branding_record, product), BRANDING_TEXT_CAPACITY, texts.product);
        put_record_text(s.image, at + offsetof(branding_record, version), BRANDING_VERSION_CAPACITY, texts.version);
    }
    if (run_directory)
        put_record_text(s.image, at + offsetof(branding_record, run_directory), RUN_DIRECTORY_TEMPLATE_CAPACITY,
                        path_template);
}

// The section that may take the new tree in its own slot: the stub's
// resource section when it is the last one in memory and in the file, ends
// the file, starts on a page boundary, and no data directory but the
// resource directory points into it. -1 otherwise.
int reusable_resource_section(const loaded_stub& s) {
    const pe_layout& layout = s.layout;
    if (layout.resource_rva == 0) return -1;
    int found = -1;
    for (size_t i = 0; i < layout.sections.size(); ++i)
        if (layout.sections[i].virtual_address == layout.resource_rva) found = static_cast<int>(i);
    if (found < 0) return -1;
    const section_header& r = layout.sections[static_cast<size_t>(found)];
    if (r.raw_size == 0 || r.raw_offset % PAGE_SIZE != 0 || static_cast<uint64_t>(r.raw_offset) + r.raw_size != s.image.size() ||
        layout.resource_size > std::max(r.virtual_size, r.raw_size))
        return -1;
    for (const section_header& other : layout.sections) {
        if (&other == &r) continue;
        if (other.virtual_address > r.virtual_address) return -1;
        if (other.raw_size != 0 && other.raw_offset >= r.raw_offset) return -1;
    }
    const uint32_t end = r.virtual_address + std::max(r.virtual_size, r.raw_size);
    const uint32_t opt = layout.optional_offset;
    uint32_t directories = std::min(get32(s.image, opt + 108), DIRECTORY_COUNT);
    for (uint32_t d = 0; d < directories; ++d) {
        if (d == RESOURCE_DIRECTORY || d == SECURITY_DIRECTORY) continue;
        uint32_t rva = get32(s.image, opt + 112 + 8 * d), size = get32(s.image, opt + 112 + 8 * d + 4);
        if (size != 0 && rva < end && rva + static_cast<uint64_t>(size) > r.virtual_address) return -1;
    }
    // A COFF symbol table (ld keeps one for the long names of debug
    // sections) must lie before it, or it would be cut off.
    if (get32(s.image, opt - 20 + 8) >= r.raw_offset) return -1;
    return found;
}

// Writes `s` with a new resource tree: its resources plus, when `entries`
// is given, the payload as resource 27.
// `compressed`: the payload's compressed form, already written to a file.
void write_image(loaded_stub& s, const std::vector<app_entry>* entries, const fs::path& output, bool progress,
                 const fs::path* compressed = nullptr) {
    const pe_layout& layout = s.layout;
    const int reuse = reusable_resource_section(s);
    uint64_t first_raw = UINT64_MAX;
    uint64_t image_end = 0;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const section_header& h = layout.sections[i];
        if (h.raw_size != 0) first_raw = std::min<uint64_t>(first_raw, h.raw_offset);
        if (static_cast<int>(i) != reuse)
            image_end = std::max<uint64_t>(image_end, static_cast<uint64_t>(h.virtual_address) + std::max(h.virtual_size, h.raw_size));
    }
    uint64_t table_end = layout.section_table_offset + SECTION_HEADER_SIZE * (layout.section_count + 1ull);
    if (reuse < 0 && (table_end > layout.size_of_headers || table_end > first_raw))
        throw pack_error("stub has no room for another section header");

    const uint64_t payload_size = compressed ? fs::file_size(*compressed) : entries ? archive_size(*entries) : 0;
    std::vector<resource_leaf> leaves = s.leaves;
    std::vector<std::vector<uint8_t>> data = s.data;
    if (entries) {
        resource_leaf payload;
        payload.type.id = RT_RCDATA;
        payload.name.id = PAYLOAD_ID;
        payload.code_page = PAYLOAD_CODE_PAGE;
        leaves.push_back(payload);
        data.emplace_back();
    }

    // In its old slot the tree keeps the section's address and file offset.
    // Otherwise a new section starts on a page boundary whatever the stub's
    // file alignment, so that a loader can map it rather than read it:
    // Wine 8 falls back to reading a section whose file offset is not page
    // aligned.
    const section_header* old = reuse >= 0 ? &layout.sections[static_cast<size_t>(reuse)] : nullptr;
    const uint64_t section_rva = old ? old->virtual_address : align_up(image_end, layout.section_alignment);
    const uint64_t section_offset = old ? old->raw_offset
                                        : align_up(s.image.size(), std::max<uint64_t>(layout.file_alignment, PAGE_SIZE));
    const uint64_t kept_bytes = old ? old->raw_offset : s.image.size();
    const uint64_t size_of_image_limit = MAX_IMAGE_SIZE;
    auto too_large = [&](uint64_t bytes) {
        return refused_error("packed image would need " + std::to_string(bytes) +
                          " bytes in memory; the loader maps at most " + std::to_string(size_of_image_limit));
    };
    if (payload_size > UINT32_MAX || section_rva > UINT32_MAX) throw too_large(section_rva + payload_size);
    resource_section section = build_resource_section(leaves, data, static_cast<uint32_t>(payload_size),
                                                      static_cast<uint32_t>(section_rva));
    const uint64_t section_size = section.payload_offset + payload_size;
    const uint64_t raw_size = align_up(section_size, layout.file_alignment);
    const uint64_t size_of_image = align_up(section_rva + section_size, layout.section_alignment);
    if (size_of_image > size_of_image_limit || section_size > UINT32_MAX) throw too_large(size_of_image);

    // The stub's headers, amended.
    std::vector<uint8_t> headers(s.image.begin(), s.image.begin() + static_cast<std::ptrdiff_t>(layout.size_of_headers));
    const uint32_t opt = layout.optional_offset;
    // ld sets these two COFF bits, which mean nothing in an image: the
    // characteristics stay executable image and large-address aware only.
    set16(headers, opt - 2, get16(headers, opt - 2) & ~(FILE_LINE_NUMS_STRIPPED | FILE_LOCAL_SYMS_STRIPPED));
    if (!old) set16(headers, opt - 20 + 2, layout.section_count + 1u);
    uint32_t initialized = get32(headers, opt + 8) - (old ? old->raw_size : 0);
    set32(headers, opt + 8, initialized + static_cast<uint32_t>(raw_size));  // SizeOfInitializedData
    set32(headers, opt + 56, static_cast<uint32_t>(size_of_image));
    set32(headers, opt + 64, 0);  // checksum, filled in at the end
    set32(headers, opt + 112 + 8 * RESOURCE_DIRECTORY, static_cast<uint32_t>(section_rva));
    set32(headers, opt + 112 + 8 * RESOURCE_DIRECTORY + 4, static_cast<uint32_t>(section_size));
    size_t at = layout.section_table_offset + static_cast<size_t>(old ? reuse : layout.section_count) * SECTION_HEADER_SIZE;
    if (!old) {
        // The old tree stays in its section, unreferenced; that section is
        // renamed so that tools looking for ".rsrc" by name find the new one.
        for (uint16_t i = 0; i < layout.section_count; ++i) {
            size_t other = layout.section_table_offset + i * SECTION_HEADER_SIZE;
            if (std::memcmp(&headers[other], ".rsrc\0\0\0", 8) == 0) std::memcpy(&headers[other], ".rsrc0\0\0", 8);
        }
    }
    std::memcpy(&headers[at], ".rsrc\0\0\0", 8);
    set32(headers, at + 8, static_cast<uint32_t>(section_size));
    set32(headers, at + 12, static_cast<uint32_t>(section_rva));
    set32(headers, at + 16, static_cast<uint32_t>(raw_size));
    set32(headers, at + 20, static_cast<uint32_t>(section_offset));
    for (size_t k = 24; k < 36; ++k) headers[at + k] = 0;
    set32(headers, at + 36, SCN_INITIALIZED_DATA_READ);

    writing_to(output, [&](output_file& out) {
        out.on_progress = progress_bar("packing", section_offset + raw_size, progress);
        out.write(headers.data(), headers.size());
        out.write(s.image.data() + headers.size(), kept_bytes - headers.size());
        out.write_zeros(section_offset - kept_bytes);
        out.write(section.head.data(), section.head.size());
        if (entries) {
            sha256 digest;
            if (compressed)
                copy_file_into(*compressed, payload_size, out, s.digest_offset != 0 ? &digest : nullptr);
            else
                write_archive(*entries, out, s.digest_offset != 0 ? &digest : nullptr);
            if (s.digest_offset != 0) {
                std::array<uint8_t, 32> bytes = digest.finish();
                out.patch_summed(s.digest_offset, bytes.data(), bytes.size());
            }
        }
        out.write_zeros(raw_size - section_size);
        if (out.offset() != section_offset + raw_size) throw pack_error("internal error: image size mismatch");
        uint64_t sum = out.word_sum();
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        uint32_t checksum = static_cast<uint32_t>(sum + out.offset());
        std::vector<uint8_t> field(4);
        set32(field, 0, checksum);
        out.patch(opt + 64, field.data(), 4);
    });
}

}  // namespace

// A packed file that keeps the product texts of the launcher as released
// tells its users it is the launcher, not their application.
void warn_stock_texts(const loaded_stub& s, std::ostream& warnings) {
    if (s.brand_section < 0) return;
    size_t at = record_offset(s);
    const struct {
        const char* what;
        size_t offset, capacity;
        const char16_t* stock;
        const char* option;
    } texts[] = {
        {"company", offsetof(branding_record, company), BRANDING_TEXT_CAPACITY, ONEFILE_STOCK_COMPANY, "--company"},
        {"product name", offsetof(branding_record, product), BRANDING_TEXT_CAPACITY, ONEFILE_STOCK_PRODUCT, "--product"},
        {"version", offsetof(branding_record, version), BRANDING_VERSION_CAPACITY, ONEFILE_STOCK_VERSION, "--version"},
    };
    for (const auto& text : texts) {
        std::u16string value = record_text(s.image, at + text.offset, text.capacity);
        if (value == text.stock)
            warnings << "onefile-pack: warning: the packed file keeps the launcher's own " << text.what << " '"
                     << to_utf8(value) << "'; give " << text.option << "\n";
    }
}

// A stub whose record holds a cache's template gets the payload's digest
// there; the digest field is zero until the archive has been written.
void prepare_digest(loaded_stub& s, const std::vector<app_entry>& entries) {
    if (s.brand_section < 0) return;
    size_t at = record_offset(s);
    if (!has_run_directory_field(s.image, at)) return;
    std::u16string path_template =
        record_text(s.image, at + offsetof(branding_record, run_directory), RUN_DIRECTORY_TEMPLATE_CAPACITY);
    if (path_template.empty() || !is_cache_template(path_template)) return;
    for (const app_entry& entry : entries)
        if (fold_case(entry.name) == fold_case(std::u16string(CACHE_RECORD_FILE_NAME)))
            throw refused_error(to_utf8(entry.name) + ": the launcher records a cache's digest under this name; "
                                "rename the file");
    s.digest_offset = at + offsetof(branding_record, payload_digest);
    for (size_t i = 0; i < PAYLOAD_DIGEST_SIZE; ++i) s.image[s.digest_offset + i] = 0;
}

void pack_image(const pack_options& options) {
    loaded_stub stub = load_stub(options.stub);
    brand_loaded(stub, options.branding, options.output);
    std::vector<app_entry> entries = scan_app_tree(options.app_dir, options.main_name, options.main_file);
    prepare_digest(stub, entries);
    if (options.check) {
        std::string label = to_utf8(options.main_name);
        if (!options.main_file.empty() && options.main_file.filename().u8string() != label)
            label = options.main_file.filename().u8string() + " (packed as " + label + ")";
        std::ostringstream warnings;
        check_application(entries, label, warnings);
        warn_long_paths(entries, warnings);
        warn_stock_texts(stub, warnings);
        std::cerr << warnings.str();
        if (options.strict && !warnings.str().empty())
            throw refused_error("--strict: the warnings above are errors; " + options.output.string() +
                                " was not written");
    }
    if (options.compress == 0) return write_image(stub, &entries, options.output, options.progress);
    // The image's layout needs the payload's size first: the compressed form
    // is written beside the output and copied in.
    fs::path compressed = temporary_beside(options.output);
    compressed += ".payload";
    try {
        writing_to(compressed, [&](output_file& out) {
            uint64_t total = 0;
            for (const app_entry& entry : entries) total += entry.size;
            write_compressed_archive(entries, options.compress, out, progress_bar("compressing", total, options.progress));
        });
        write_image(stub, &entries, options.output, options.progress, &compressed);
    } catch (...) {
        std::error_code ignored;
        fs::remove(compressed, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove(compressed, ignored);
}

void brand_stub(const fs::path& stub_path, const fs::path& output, const branding_options& branding) {
    loaded_stub stub = load_stub(stub_path);
    std::error_code error;
    fs::perms perms = fs::status(stub_path, error).permissions();
    brand_loaded(stub, &branding, output);
    write_image(stub, nullptr, output, false);
    // A stub stays as executable as it was (the build brands it in place).
    if (!error) fs::permissions(output, perms, error);
}

void write_bare_archive(const fs::path& app_dir, const std::u16string& main_name, const fs::path& output,
                        bool progress, int compress) {
    std::vector<app_entry> entries = scan_app_tree(app_dir, main_name);
    if (compress != 0) {
        uint64_t total = 0;
        for (const app_entry& entry : entries) total += entry.size;
        return writing_to(output, [&](output_file& out) {
            write_compressed_archive(entries, compress, out, progress_bar("compressing", total, progress));
        });
    }
    uint64_t size = archive_size(entries);
    writing_to(output, [&](output_file& out) {
        out.on_progress = progress_bar("archiving", size, progress);
        write_archive(entries, out);
    });
}

}  // namespace pack
