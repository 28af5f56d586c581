// The version block's writer and reader (see version_block.h). Bytes and
// char16_t only; no platform calls.
#include "format/version_block.h"

#include "format/little_endian.h"

namespace {

constexpr uint32_t FIXED_SIGNATURE = 0xFEEF04BD;
constexpr uint16_t FIXED_BYTES = 52;  // VS_FIXEDFILEINFO: 13 words
constexpr uint32_t FLAGS_MASK = 0x3F;
constexpr uint32_t VOS_WINDOWS32 = 0x4;
constexpr uint32_t VFT_APP = 1;
constexpr uint16_t TYPE_BINARY = 0, TYPE_TEXT = 1;
constexpr uint16_t LANGUAGE_NEUTRAL = 0x0000, CODE_PAGE_UTF16 = 0x04B0;

void pad4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
std::vector<uint8_t> utf16z(const std::u16string& text) {
    std::vector<uint8_t> out;
    for (char16_t u : text) put16(out, u);
    put16(out, 0);
    return out;
}

// One node: wLength, wValueLength, wType, key, padding, value, then each
// child on a 4-byte boundary. wLength ends with the node's own last byte,
// without the padding a following sibling puts before itself.
std::vector<uint8_t> node(const std::u16string& key, const std::vector<uint8_t>& value,
                          uint16_t value_length, uint16_t type,
                          const std::vector<std::vector<uint8_t>>& children = {}) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, value_length);
    put16(out, type);
    std::vector<uint8_t> k = utf16z(key);
    out.insert(out.end(), k.begin(), k.end());
    pad4(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const std::vector<uint8_t>& child : children) {
        pad4(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    set16(out, 0, static_cast<uint32_t>(out.size()));
    return out;
}

uint32_t high_word_pair(const uint16_t v[4]) { return (uint32_t{v[0]} << 16) | v[1]; }
uint32_t low_word_pair(const uint16_t v[4]) { return (uint32_t{v[2]} << 16) | v[3]; }

// A bounds-checked view of one node inside `limit`.
struct node_view {
    size_t start = 0, end = 0;  // end: start + wLength
    uint16_t value_length = 0, type = 0;
    std::u16string key;
    size_t value_at = 0;  // after the key's padding
};


bool read_node(const std::vector<uint8_t>& b, size_t start, size_t limit, node_view& n, std::string& error) {
    if (start + 6 > limit) {
        error = "node header past the end of its parent";
        return false;
    }
    uint16_t length = get16(b, start);
    if (length < 6 || start + length > limit) {
        error = "node length past the end of its parent";
        return false;
    }
    n.start = start;
    n.end = start + length;
    n.value_length = get16(b, start + 2);
    n.type = get16(b, start + 4);
    n.key.clear();
    size_t at = start + 6;
    for (;; at += 2) {
        if (at + 2 > n.end) {
            error = "node key without terminator";
            return false;
        }
        char16_t u = get16(b, at);
        if (u == 0) break;
        n.key += u;
    }
    at += 2;
    n.value_at = (at + 3) / 4 * 4;
    return true;
}

// Children start after the value, each on a 4-byte boundary.
template <typename Visit>
bool each_child(const std::vector<uint8_t>& b, const node_view& parent, size_t first, Visit visit,
                std::string& error) {
    size_t at = (first + 3) / 4 * 4;
    while (at < parent.end) {
        node_view child;
        if (!read_node(b, at, parent.end, child, error)) return false;
        if (!visit(child)) return false;
        at = (child.end + 3) / 4 * 4;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> write_version_block(const version_fields& fields) {
    std::vector<uint8_t> fixed;
    for (uint32_t word : {FIXED_SIGNATURE, 0u, high_word_pair(fields.file_version), low_word_pair(fields.file_version),
                          high_word_pair(fields.product_version), low_word_pair(fields.product_version), FLAGS_MASK,
                          0u, VOS_WINDOWS32, VFT_APP, 0u, 0u, 0u})
        put32(fixed, word);

    std::vector<std::vector<uint8_t>> strings;
    for (const auto& [key, text] : fields.strings) {
        std::vector<uint8_t> value = utf16z(text);
        // Bytes, terminator included, where the resource compiler counts characters.
        strings.push_back(node(key, value, static_cast<uint16_t>(value.size()), TYPE_TEXT));
    }
    std::vector<uint8_t> table = node(u"000004b0", {}, 0, TYPE_TEXT, strings);
    std::vector<uint8_t> string_info = node(u"StringFileInfo", {}, 0, TYPE_TEXT, {table});
    std::vector<uint8_t> translation;
    put16(translation, LANGUAGE_NEUTRAL);
    put16(translation, CODE_PAGE_UTF16);
    std::vector<uint8_t> var = node(u"Translation", translation, static_cast<uint16_t>(translation.size()), TYPE_BINARY);
    std::vector<uint8_t> var_info = node(u"VarFileInfo", {}, 0, TYPE_TEXT, {var});
    return node(u"VS_VERSION_INFO", fixed, FIXED_BYTES, TYPE_BINARY, {string_info, var_info});
}

bool read_version_block(const std::vector<uint8_t>& block, version_fields& fields, std::string& error) {
    fields = version_fields{};
    node_view root;
    if (!read_node(block, 0, block.size(), root, error)) return false;
    if (root.key != u"VS_VERSION_INFO") {
        error = "root key is not VS_VERSION_INFO";
        return false;
    }
    if (root.value_length != FIXED_BYTES || root.value_at + FIXED_BYTES > root.end ||
        get32(block, root.value_at) != FIXED_SIGNATURE) {
        error = "no fixed part";
        return false;
    }
    auto split = [&](size_t at, uint16_t out[4]) {
        uint32_t hi = get32(block, at), lo = get32(block, at + 4);
        out[0] = static_cast<uint16_t>(hi >> 16);
        out[1] = static_cast<uint16_t>(hi);
        out[2] = static_cast<uint16_t>(lo >> 16);
        out[3] = static_cast<uint16_t>(lo);
    };
    split(root.value_at + 8, fields.file_version);
    split(root.value_at + 16, fields.product_version);

    bool have_table = false;
    return each_child(block, root, root.value_at + FIXED_BYTES, [&](const node_view& info) {
        if (info.key != u"StringFileInfo") return true;
        return each_child(block, info, info.value_at + info.value_length, [&](const node_view& table) {
            if (have_table) return true;  // the first table only
            have_table = true;
            return each_child(block, table, table.value_at, [&](const node_view& entry) {
                // The value ends at its first terminator or at the node's end,
                // whichever way its length was counted.
                std::u16string text;
                for (size_t at = entry.value_at; at + 2 <= entry.end; at += 2) {
                    char16_t u = get16(block, at);
                    if (u == 0) break;
                    text += u;
                }
                fields.strings.emplace_back(entry.key, text);
                return true;
            }, error);
        }, error);
    }, error);
}
