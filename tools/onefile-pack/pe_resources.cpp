// The resource tree of a PE32+ image: walked into leaves when reading, and
// built anew, payload last, when writing.
#include <algorithm>
#include <map>

#include "pe_layout.h"
#include "format/archive_reader.h"
#include "format/little_endian.h"

namespace pack {

namespace pe {

namespace {
constexpr size_t MAX_RESOURCE_ENTRIES = 65536;
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

bool is_payload(const resource_leaf& leaf) {
    return !leaf.type.named && leaf.type.id == RT_RCDATA && !leaf.name.named && leaf.name.id == PAYLOAD_ID;
}

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
        put16(strings, static_cast<uint32_t>(key.name.size()));
        for (char16_t u : key.name) put16(strings, u);
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

}  // namespace pe

using namespace pe;

bool operator<(const resource_key& a, const resource_key& b) {
    // Named entries come first, in the order of their units; then ids.
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}
bool operator==(const resource_key& a, const resource_key& b) {
    return a.named == b.named && a.id == b.id && a.name == b.name;
}

std::vector<resource_leaf> read_resources(const std::vector<uint8_t>& image) {
    read_at_fn read_at = memory_reader(image);
    return walk_resources(parse_layout(read_at), read_at);
}

namespace {

payload_location locate_with(const read_at_fn& read_at, uint64_t file_size) {
    std::vector<uint8_t> start = read_at(0, std::min<uint64_t>(ARCHIVE_HEADER_SIZE, file_size));
    payload_archive bare = payload_archive_over(start.data(), start.size());
    if (check_payload_header(bare)) return {0, file_size};
    pe_layout layout = parse_layout(read_at);
    for (const resource_leaf& leaf : walk_resources(layout, read_at)) {
        if (is_payload(leaf)) return {rva_to_offset(layout, leaf.data_rva, leaf.size), leaf.size};
    }
    throw pack_error("image carries no payload (resource 27)");
}

}  // namespace

payload_location locate_payload(std::istream& in, uint64_t file_size) {
    return locate_with(stream_reader(in, file_size, pack_error("image is truncated")), file_size);
}

payload_location locate_payload(const uint8_t* file, uint64_t file_size) {
    return locate_with(bytes_reader(file, file_size, pack_error("image is truncated")), file_size);
}

}  // namespace pack
