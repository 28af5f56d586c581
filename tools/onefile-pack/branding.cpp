// Branding: the options of `pack` and `brand` checked, and the stub's icons,
// version block and manifest rewritten from them. Resource data only; where
// the bytes go in the image is pe_image.cpp's business.
#include <fstream>
#include <iterator>
#include <map>

#include "branding.h"
#include "names.h"
#include "format/icon_file.h"
#include "format/manifest_check.h"
#include "format/version_block.h"

namespace pack {

namespace {

constexpr uint16_t RT_ICON = 3, RT_GROUP_ICON = 14, RT_VERSION = 16, RT_MANIFEST = 24;
constexpr uint32_t CODE_PAGE = 1252;
constexpr size_t MAX_INPUT_FILE = 16u << 20;  // an icon or a manifest
constexpr uint32_t MAX_VERSION_BLOCK = 0xFFFF;  // wLength is 16 bits

std::vector<uint8_t> read_input(const char* option, const fs::path& path) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    if (error) throw option_error(option, "cannot read " + path.string() + ": " + error.message());
    if (size > MAX_INPUT_FILE) throw option_error(option, path.string() + " is larger than 16 MiB");
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (!in) throw option_error(option, "cannot read " + path.string());
    return bytes;
}

void check_text(const char* option, const std::u16string& text) {
    for (char16_t u : text)
        if (u < 0x20) throw option_error(option, "holds a control character");
    if (text.size() > MAX_BRANDING_TEXT_UNITS)
        throw option_error(option, "longer than " + std::to_string(MAX_BRANDING_TEXT_UNITS) + " UTF-16 units");
}

// 1 to 4 dot-separated decimal numbers of 0..65535; missing parts are 0.
void parse_version(const std::string& text, uint16_t parts[4]) {
    const std::string why = "'" + text + "' is not 1 to 4 dot-separated numbers of 0..65535";
    size_t count = 0, at = 0;
    for (int i = 0; i < 4; ++i) parts[i] = 0;
    for (;;) {
        if (count == 4) throw option_error("--version", why);
        uint32_t value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
            if (value > 65535) throw option_error("--version", why);
            ++digits;
        }
        if (digits == 0) throw option_error("--version", why);
        parts[count++] = static_cast<uint16_t>(value);
        if (at == text.size()) return;
        if (text[at++] != '.') throw option_error("--version", why);
    }
}

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string dotted(const uint16_t parts[4], int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i ? "." : "") + std::to_string(parts[i]);
    return widen(text);
}

void set_string(version_fields& fields, const std::u16string& key, const std::u16string& value) {
    for (auto& entry : fields.strings)
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    fields.strings.emplace_back(key, value);
}

std::u16string get_string(const version_fields& fields, const std::u16string& key) {
    for (const auto& entry : fields.strings)
        if (entry.first == key) return entry.second;
    return u"";
}

bool is_resource(const resource_leaf& leaf, uint16_t type, int id = -1) {
    return !leaf.type.named && leaf.type.id == type && (id < 0 || (!leaf.name.named && leaf.name.id == id));
}

// Replaces every leaf `drop` selects by the new ones.
template <typename Drop>
void replace_leaves(std::vector<resource_leaf>& leaves, std::vector<std::vector<uint8_t>>& data, Drop drop,
                    std::vector<std::pair<resource_leaf, std::vector<uint8_t>>> added) {
    for (size_t i = leaves.size(); i-- > 0;) {
        if (!drop(leaves[i])) continue;
        leaves.erase(leaves.begin() + static_cast<std::ptrdiff_t>(i));
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (auto& [leaf, bytes] : added) {
        leaves.push_back(leaf);
        data.push_back(std::move(bytes));
    }
}

resource_leaf new_leaf(uint16_t type, uint16_t id, uint16_t language = 0) {
    resource_leaf leaf;
    leaf.type.id = type;
    leaf.name.id = id;
    leaf.language.id = language;
    leaf.code_page = CODE_PAGE;
    return leaf;
}

}  // namespace

bool branding_options::any() const {
    return !icon.empty() || !manifest.empty() || !product.empty() || !company.empty() || !description.empty() ||
           !copyright.empty() || !original_filename.empty() || !version.empty();
}

bool branding_options::changes_record() const { return !product.empty() || !company.empty() || !version.empty(); }

record_texts apply_branding(const branding_options& options, const std::u16string& output_name,
                            const record_texts* stub_record, std::vector<resource_leaf>& leaves,
                            std::vector<std::vector<uint8_t>>& data) {
    // Every input is checked before anything changes.
    check_text("--product", options.product);
    check_text("--company", options.company);
    check_text("--description", options.description);
    check_text("--copyright", options.copyright);
    check_text("--original-filename", options.original_filename);
    uint16_t version[4] = {0, 0, 0, 0};
    if (!options.version.empty()) parse_version(options.version, version);
    std::vector<icon_image> icons;
    if (!options.icon.empty()) {
        std::string error;
        if (!read_icon_file(read_input("--icon", options.icon), icons, error))
            throw option_error("--icon", options.icon.string() + ": " + error);
        if (icons.size() > 0xFFFF) throw option_error("--icon", "too many images");
    }
    std::vector<uint8_t> manifest;
    if (!options.manifest.empty()) {
        manifest = read_input("--manifest", options.manifest);
        std::string error;
        if (!check_manifest_xml(manifest, error))
            throw option_error("--manifest", options.manifest.string() + " is not well-formed XML: " + error);
    }
    if (options.changes_record() && stub_record == nullptr) {
        const char* option = !options.product.empty() ? "--product" : !options.company.empty() ? "--company" : "--version";
        throw option_error(option, "the stub has no branding record (section .brand), so {COMPANY}, "
                                   "{PRODUCT} and {VERSION} could not follow its version block");
    }

    // The stub's own block is the start; a stub without one starts from its
    // record's texts.
    version_fields fields;
    uint16_t version_language = 0;
    bool have_block = false;
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (!is_resource(leaves[i], RT_VERSION, 1)) continue;
        std::string error;
        if (!read_version_block(data[i], fields, error)) throw pack_error("stub's version block is damaged: " + error);
        version_language = leaves[i].language.named ? 0 : leaves[i].language.id;
        have_block = true;
        break;
    }
    if (!have_block) {
        std::u16string company = stub_record ? stub_record->company : u"";
        std::u16string product = stub_record ? stub_record->product : u"";
        if (stub_record) {
            std::string text(stub_record->version.begin(), stub_record->version.end());
            try {
                parse_version(text, fields.file_version);
            } catch (const option_error&) {
                throw pack_error("stub's branding record holds a bad version '" + text + "'");
            }
            std::copy(fields.file_version, fields.file_version + 4, fields.product_version);
        }
        std::u16string four = dotted(fields.file_version, 4);
        fields.strings = {{u"CompanyName", company}, {u"ProductName", product}, {u"ProductVersion", four},
                          {u"FileVersion", four},    {u"OriginalFilename", u""}, {u"InternalName", product},
                          {u"FileDescription", product}};
    }
    if (!options.company.empty()) set_string(fields, u"CompanyName", options.company);
    if (!options.product.empty()) {
        set_string(fields, u"ProductName", options.product);
        set_string(fields, u"InternalName", options.product);
    }
    if (!options.version.empty()) {
        std::copy(version, version + 4, fields.file_version);
        std::copy(version, version + 4, fields.product_version);
        set_string(fields, u"ProductVersion", dotted(version, 4));
        set_string(fields, u"FileVersion", dotted(version, 4));
    }
    set_string(fields, u"OriginalFilename", options.original_filename.empty() ? output_name : options.original_filename);
    if (!options.description.empty())
        set_string(fields, u"FileDescription", options.description);
    else if (!options.product.empty())
        set_string(fields, u"FileDescription", options.product);
    if (!options.copyright.empty()) set_string(fields, u"LegalCopyright", options.copyright);
    std::vector<uint8_t> block = write_version_block(fields);
    if (block.size() > MAX_VERSION_BLOCK) throw pack_error("version block would pass 64 KiB");

    replace_leaves(leaves, data, [](const resource_leaf& l) { return is_resource(l, RT_VERSION, 1); },
                   {{new_leaf(RT_VERSION, 1, version_language), block}});
    if (!icons.empty()) {
        std::vector<std::pair<resource_leaf, std::vector<uint8_t>>> added;
        for (size_t i = 0; i < icons.size(); ++i)
            added.push_back({new_leaf(RT_ICON, static_cast<uint16_t>(i + 1)), icons[i].data});
        added.push_back({new_leaf(RT_GROUP_ICON, 1), write_icon_directory(icons, 1)});
        replace_leaves(leaves, data,
                       [](const resource_leaf& l) { return is_resource(l, RT_ICON) || is_resource(l, RT_GROUP_ICON, 1); },
                       std::move(added));
    }
    if (!manifest.empty()) {
        uint16_t language = 0;
        for (const resource_leaf& l : leaves)
            if (is_resource(l, RT_MANIFEST, 1) && !l.language.named) language = l.language.id;
        replace_leaves(leaves, data, [](const resource_leaf& l) { return is_resource(l, RT_MANIFEST, 1); },
                       {{new_leaf(RT_MANIFEST, 1, language), manifest}});
    }
    return {get_string(fields, u"CompanyName"), get_string(fields, u"ProductName"), dotted(fields.file_version, 3)};
}

}  // namespace pack
