// The checks every launcher image must pass, whichever way it was produced.
#include "tests/resources/image_checks.h"

#include <array>
#include <cstring>

#include "tests/resources/pe_reader.h"

namespace image_checks {
namespace {

constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t subsystem_windows_gui = 2;
constexpr uint16_t file_relocs_stripped = 0x0001;
constexpr uint16_t file_executable_image = 0x0002;
constexpr uint16_t file_large_address_aware = 0x0020;
constexpr uint16_t file_dll = 0x2000;
constexpr uint16_t dll_high_entropy_va = 0x0020;
constexpr uint16_t dll_dynamic_base = 0x0040;
constexpr uint16_t dll_nx_compat = 0x0100;
constexpr uint16_t dll_terminal_server_aware = 0x8000;
constexpr uint32_t page = 4096;

constexpr uint32_t neutral_language = 0;
constexpr uint32_t code_page_1252 = 1252;
constexpr uint32_t payload_id = 27;
constexpr size_t manifest_bytes = 1265;
// The branding record (format/branding_record.h): company, product and
// version as UTF-16 after a 24-byte head.
constexpr char brand_section[] = ".brand";
constexpr size_t record_company = 24, record_product = 24 + 512, record_version = 24 + 1024;

uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
    return (uint32_t{d[at]} << 24) | (uint32_t{d[at + 1]} << 16) | (uint32_t{d[at + 2]} << 8) | d[at + 3];
}

uint32_t crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

struct Parsed {
    pe::Image image;
    std::string error;
    bool ok = false;
};

Parsed parse(const std::vector<uint8_t>& file) {
    Parsed p;
    p.ok = pe::parse_image(file, p.image, p.error);
    return p;
}

}  // namespace

std::vector<std::string> png_chunks(const std::vector<uint8_t>& png, std::string& error) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::string> chunks;
    if (png.size() < 8 || std::memcmp(png.data(), signature, 8) != 0) {
        error = "no PNG signature";
        return {};
    }
    size_t at = 8;
    while (at < png.size()) {
        if (png.size() - at < 12) {
            error = "truncated chunk header";
            return {};
        }
        uint32_t length = be32(png, at);
        if (length > png.size() - at - 12) {
            error = "chunk longer than the file";
            return {};
        }
        std::string type(reinterpret_cast<const char*>(&png[at + 4]), 4);
        if (crc32(&png[at + 4], 4 + size_t{length}) != be32(png, at + 8 + length)) {
            error = "bad CRC in " + type;
            return {};
        }
        chunks.push_back(type);
        at += 12 + size_t{length};
        if (type == "IEND" && at != png.size()) {
            error = "bytes after IEND";
            return {};
        }
    }
    return chunks;
}

void LauncherImage::SetUp() {
    Located where = locate_image(GetParam());
    if (where.path.empty()) {
        if (where.skip_reason.empty()) return;  // locate_image has recorded a failure
        GTEST_SKIP() << where.skip_reason;
    }
    carries_payload_ = where.carries_payload;
    branding_ = where.branding;
    ASSERT_TRUE(pe::read_file(where.path, file_)) << "cannot read " << where.path;
}

TEST_P(LauncherImage, header_is_a_relocatable_gui_image_for_amd64) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Image& im = p.image;
    EXPECT_EQ(im.machine, machine_amd64);
    EXPECT_EQ(im.magic, 0x20B);
    EXPECT_EQ(im.subsystem, subsystem_windows_gui);
    // Exactly these two: no DLL, relocations kept (dynamic base is worth
    // nothing if the loader cannot rebase the image), and none of the
    // obsolete COFF bits ld sets.
    EXPECT_EQ(im.characteristics, file_executable_image | file_large_address_aware);
    EXPECT_FALSE(im.characteristics & (file_dll | file_relocs_stripped));
    ASSERT_GT(im.directories.size(), pe::directory_base_reloc);
    EXPECT_NE(im.directories[pe::directory_base_reloc].size, 0u) << "no base relocations";
    EXPECT_EQ(im.dll_characteristics,
              dll_high_entropy_va | dll_dynamic_base | dll_nx_compat | dll_terminal_server_aware);
}

TEST_P(LauncherImage, header_sets_stack_versions_and_page_aligned_layout) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Image& im = p.image;
    EXPECT_EQ(im.stack_reserve, 0x100000u);
    EXPECT_EQ(im.stack_commit, 0x1000u);
    EXPECT_EQ(im.os_major, 6);
    EXPECT_EQ(im.os_minor, 0);
    EXPECT_EQ(im.subsystem_major, 6);
    EXPECT_EQ(im.subsystem_minor, 0);
    EXPECT_EQ(im.file_alignment, page);
    for (const pe::Section& s : im.sections) {
        if (s.raw_size == 0) continue;
        EXPECT_EQ(s.raw_offset % page, 0u) << "section " << s.name;
    }
}

TEST_P(LauncherImage, resources_are_numeric_neutral_and_code_page_1252) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    const uint32_t icon_count = static_cast<uint32_t>(branding_.icon_pixels.size());
    for (uint32_t id = 1; id <= icon_count; ++id) expected.push_back({pe::type_icon, id});
    if (carries_payload_) expected.push_back({pe::type_rcdata, payload_id});
    expected.push_back({pe::type_group_icon, 1});
    expected.push_back({pe::type_version, 1});
    expected.push_back({pe::type_manifest, 1});

    std::vector<std::pair<uint32_t, uint32_t>> found;
    for (const pe::Resource& r : p.image.resources) {
        SCOPED_TRACE("type " + std::to_string(r.type) + " id " + std::to_string(r.id));
        EXPECT_TRUE(r.type_name.empty()) << "named type " << pe::narrow(r.type_name);
        EXPECT_TRUE(r.id_name.empty()) << "named resource " << pe::narrow(r.id_name);
        EXPECT_EQ(r.language, neutral_language);
        EXPECT_EQ(r.code_page, code_page_1252);
        EXPECT_EQ(r.reserved, 0u);
        found.push_back({r.type, r.id});
    }
    // Directory order is ascending by type and id, so the lists compare as they are.
    EXPECT_EQ(found, expected);
}

TEST_P(LauncherImage, icons_are_rgb_png_files_of_the_six_sizes) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const std::vector<uint32_t>& icon_pixels = branding_.icon_pixels;
    const uint32_t icon_count = static_cast<uint32_t>(icon_pixels.size());
    for (uint32_t id = 1; id <= icon_count; ++id) {
        SCOPED_TRACE("RT_ICON " + std::to_string(id));
        const pe::Resource* r = p.image.find(pe::type_icon, id);
        ASSERT_NE(r, nullptr);
        std::vector<uint8_t> png = pe::resource_bytes(file_, *r);
        std::string error;
        std::vector<std::string> chunks = png_chunks(png, error);
        ASSERT_TRUE(error.empty()) << error;
        uint32_t pixels = icon_pixels[id - 1];
        std::vector<std::string> want = {"IHDR", "IDAT"};
        if (pixels == 256) want.push_back("IDAT");
        want.push_back("IEND");
        EXPECT_EQ(chunks, want);
        // IHDR: width, height, bit depth, colour type, compression, filter, interlace.
        ASSERT_GE(png.size(), 33u);
        EXPECT_EQ(be32(png, 16), pixels);
        EXPECT_EQ(be32(png, 20), pixels);
        EXPECT_EQ(png[24], 8) << "bit depth";
        EXPECT_EQ(png[25], 2) << "colour type (RGB, no alpha)";
        EXPECT_EQ(png[26], 0);
        EXPECT_EQ(png[27], 0);
        EXPECT_EQ(png[28], 0) << "interlaced";
    }
}

TEST_P(LauncherImage, icon_directory_describes_each_icon_resource) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Resource* group = p.image.find(pe::type_group_icon, 1);
    ASSERT_NE(group, nullptr);
    pe::IconDirectory dir;
    std::string error;
    ASSERT_TRUE(pe::parse_icon_directory(pe::resource_bytes(file_, *group), dir, error)) << error;
    const std::vector<uint32_t>& icon_pixels = branding_.icon_pixels;
    const uint32_t icon_count = static_cast<uint32_t>(icon_pixels.size());
    EXPECT_EQ(dir.reserved, 0);
    EXPECT_EQ(dir.type, 1);
    ASSERT_EQ(dir.count, icon_count);
    for (uint32_t i = 0; i < icon_count; ++i) {
        const pe::IconDirectoryEntry& e = dir.entries[i];
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(e.id, i + 1);
        // A byte holds the dimension, so 256 is written as 0.
        uint32_t pixels = icon_pixels[i];
        EXPECT_EQ(e.width, pixels == 256 ? 0u : pixels);
        EXPECT_EQ(e.height, pixels == 256 ? 0u : pixels);
        EXPECT_EQ(e.colour_count, 0);
        EXPECT_EQ(e.reserved, 0);
        EXPECT_EQ(e.planes, 0);
        EXPECT_EQ(e.bit_count, 32);
        const pe::Resource* icon = p.image.find(pe::type_icon, e.id);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(e.bytes, icon->size) << "entry size differs from RT_ICON " << e.id;
    }
}

TEST_P(LauncherImage, version_block_fixed_part_says_1_0_9_0_application) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Resource* r = p.image.find(pe::type_version, 1);
    ASSERT_NE(r, nullptr);
    const size_t version_block_bytes = branding_.version_block_bytes;
    if (version_block_bytes != 0) {
        EXPECT_EQ(r->size, version_block_bytes);
    }
    pe::VersionBlock block;
    std::string error;
    ASSERT_TRUE(pe::parse_version_block(pe::resource_bytes(file_, *r), block, error)) << error;
    if (version_block_bytes != 0) {
        EXPECT_EQ(block.length, version_block_bytes);
    }
    EXPECT_EQ(block.key, u"VS_VERSION_INFO");
    ASSERT_TRUE(block.has_fixed);
    const uint32_t want[13] = {
        0xFEEF04BD,              // signature
        0,                       // structure version
        branding_.version_high, branding_.version_low,  // file version (1.0.9.0)
        branding_.version_high, branding_.version_low,  // product version
        0x3F, 0,                 // flags mask, flags
        0x4,                     // VOS__WINDOWS32
        1, 0,                    // VFT_APP, no subtype
        0, 0,                    // file date
    };
    for (int i = 0; i < 13; ++i) EXPECT_EQ(block.fixed[i], want[i]) << "fixed word " << i;
    EXPECT_EQ(block.top_level, (std::vector<std::u16string>{u"StringFileInfo", u"VarFileInfo"}));
    // Language neutral, code page 1200.
    EXPECT_EQ(block.translations, std::vector<uint32_t>{0x04B00000u});
}

TEST_P(LauncherImage, version_strings_come_in_order_with_lengths_in_bytes) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Resource* r = p.image.find(pe::type_version, 1);
    ASSERT_NE(r, nullptr);
    pe::VersionBlock block;
    std::string error;
    ASSERT_TRUE(pe::parse_version_block(pe::resource_bytes(file_, *r), block, error)) << error;
    EXPECT_EQ(block.string_tables, std::vector<std::u16string>{u"000004b0"});
    const auto& want = branding_.strings;
    ASSERT_EQ(block.strings.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const pe::VersionString& s = block.strings[i];
        SCOPED_TRACE(pe::narrow(s.key));
        EXPECT_EQ(s.key, want[i].first);
        EXPECT_EQ(s.value, want[i].second);
        // Bytes, terminator included: 22 for "Marrowlake", not 11.
        size_t value_bytes = (want[i].second.size() + 1) * 2;
        EXPECT_EQ(s.value_length, value_bytes);
        EXPECT_EQ(s.value_bytes, value_bytes) << "value and node end disagree";
        EXPECT_EQ(s.type, 1) << "text value";
    }
}

TEST_P(LauncherImage, manifest_is_the_exact_one_line_document) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Resource* r = p.image.find(pe::type_manifest, 1);
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> bytes = pe::resource_bytes(file_, *r);
    std::vector<uint8_t> want = expected_manifest(branding_.manifest_path);
    if (branding_.manifest_path.empty()) {
        EXPECT_EQ(bytes.size(), manifest_bytes);
        ASSERT_EQ(want.size(), manifest_bytes) << "reference manifest unreadable or changed";
    }
    EXPECT_TRUE(bytes == want) << "embedded manifest differs from resources/launcher.manifest";
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.rfind("<ns0:assembly ", 0), 0u) << "declaration, BOM or other root";
    size_t non_ascii = 0;
    for (unsigned char c : bytes) non_ascii += c >= 0x80;
    EXPECT_EQ(non_ascii, 0u);
}

// {COMPANY}, {PRODUCT} and {VERSION} expand to the record's texts, which
// must be those of the image's own version block (three version parts).
TEST_P(LauncherImage, branding_record_matches_the_version_block) {
    Parsed p = parse(file_);
    ASSERT_TRUE(p.ok) << p.error;
    const pe::Section* section = nullptr;
    for (const pe::Section& s : p.image.sections)
        if (s.name == brand_section) section = &s;
    ASSERT_NE(section, nullptr) << "no section " << brand_section;
    ASSERT_GE(section->raw_size, record_version + 48);
    ASSERT_LE(size_t{section->raw_offset} + section->raw_size, file_.size());
    auto text = [&](size_t at) {
        std::u16string out;
        for (size_t i = section->raw_offset + at; file_[i] | file_[i + 1]; i += 2)
            out += static_cast<char16_t>(file_[i] | (file_[i + 1] << 8));
        return out;
    };
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file_[section->raw_offset])), "onefile-brand-1");
    const pe::Resource* r = p.image.find(pe::type_version, 1);
    ASSERT_NE(r, nullptr);
    pe::VersionBlock block;
    std::string error;
    ASSERT_TRUE(pe::parse_version_block(pe::resource_bytes(file_, *r), block, error)) << error;
    auto value = [&](const char16_t* key) {
        for (const pe::VersionString& s : block.strings)
            if (s.key == key) return s.value;
        return std::u16string(u"(missing)");
    };
    EXPECT_EQ(text(record_company), value(u"CompanyName"));
    EXPECT_EQ(text(record_product), value(u"ProductName"));
    std::string three = std::to_string(block.fixed[2] >> 16) + "." + std::to_string(block.fixed[2] & 0xFFFF) + "." +
                        std::to_string(block.fixed[3] >> 16);
    EXPECT_EQ(text(record_version), pe::ascii16(three.c_str()));
}

}  // namespace image_checks
