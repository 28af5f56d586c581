// The resource formats' writer and readers (resources/): the launcher's
// default version block and icon directory, round trips, and the .ico and
// manifest inputs the packer must refuse.
#include <gtest/gtest.h>

#include "format/icon_file.h"
#include "format/manifest_check.h"
#include "format/version_block.h"
#include "tests/resources/pe_reader.h"

namespace {

version_fields default_fields() {
    version_fields f;
    const uint16_t v[4] = {1, 0, 9, 0};
    std::copy(v, v + 4, f.file_version);
    std::copy(v, v + 4, f.product_version);
    f.strings = {{u"CompanyName", u"Marrowlake"},         {u"ProductName", u"Marrowlake"},
                 {u"ProductVersion", u"1.0.9.0"},         {u"FileVersion", u"1.0.9.0"},
                 {u"OriginalFilename", u"Marrowlake.exe"}, {u"InternalName", u"Marrowlake"},
                 {u"FileDescription", u"Marrowlake.exe"}};
    return f;
}

// The default block is the launcher's 632 bytes, which the independent
// reader of the image tests takes apart; reading it back and writing again
// gives the same bytes, also with a non-ASCII text and an odd-length key.
TEST(VersionBlock, DefaultBytesAndRoundTrip) {
    std::vector<uint8_t> block = write_version_block(default_fields());
    EXPECT_EQ(block.size(), 632u);
    pe::VersionBlock parsed;
    std::string error;
    ASSERT_TRUE(pe::parse_version_block(block, parsed, error)) << error;
    EXPECT_EQ(parsed.length, 632u);
    EXPECT_EQ(parsed.fixed[2], 0x00010000u);
    EXPECT_EQ(parsed.fixed[3], 0x00090000u);
    ASSERT_EQ(parsed.strings.size(), 7u);
    EXPECT_EQ(parsed.strings[0].value_length, 22u);  // bytes with the terminator
    EXPECT_EQ(parsed.translations, std::vector<uint32_t>{0x04B00000u});

    version_fields fields = default_fields();
    fields.strings.push_back({u"LegalCopyright", u"\u00A9 2026 M\u00FCller"});
    fields.file_version[3] = 65535;
    block = write_version_block(fields);
    version_fields back;
    ASSERT_TRUE(read_version_block(block, back, error)) << error;
    EXPECT_EQ(back.strings, fields.strings);
    EXPECT_EQ(back.file_version[3], 65535);
    EXPECT_EQ(write_version_block(back), block);

    block.resize(100);
    EXPECT_FALSE(read_version_block(block, back, error));
}

std::vector<uint8_t> launcher_ico() {
    std::vector<uint8_t> bytes;
    pe::read_file(ONEFILE_SOURCE_ICON, bytes);
    return bytes;
}

// The committed artwork holds the six PNG images; its icon directory is the
// launcher's; writing the images out again gives the same file.
TEST(IconFile, LauncherArtworkRoundTrip) {
    std::vector<uint8_t> file = launcher_ico();
    std::vector<icon_image> images;
    std::string error;
    ASSERT_TRUE(read_icon_file(file, images, error)) << error;
    ASSERT_EQ(images.size(), 6u);
    const uint32_t sizes[] = {16, 32, 48, 64, 128, 256};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(images[i].width, sizes[i]);
    EXPECT_EQ(write_icon_file(images), file);
    pe::IconDirectory dir;
    ASSERT_TRUE(pe::parse_icon_directory(write_icon_directory(images, 1), dir, error)) << error;
    ASSERT_EQ(dir.count, 6u);
    EXPECT_EQ(dir.entries[5].width, 0u);  // 256
    EXPECT_EQ(dir.entries[5].bit_count, 32u);
    EXPECT_EQ(dir.entries[5].bytes, images[5].data.size());
    EXPECT_EQ(dir.entries[5].id, 6u);
}

std::vector<uint8_t> dib(int32_t width, int32_t height_with_mask) {
    std::vector<uint8_t> d(40 + 64, 0);
    d[0] = 40;
    for (int i = 0; i < 4; ++i) {
        d[4 + i] = static_cast<uint8_t>(width >> (8 * i));
        d[8 + i] = static_cast<uint8_t>(height_with_mask >> (8 * i));
    }
    return d;
}

std::vector<uint8_t> png_header(uint32_t side) {
    std::vector<uint8_t> p = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (int k = 0; k < 2; ++k)
        for (int i = 3; i >= 0; --i) p.push_back(static_cast<uint8_t>(side >> (8 * i)));
    return p;
}

TEST(IconFile, BitmapImagesAndRefusedFiles) {
    icon_image bmp;
    bmp.data = dib(40, 80);  // colour and mask rows: 40 x 40
    std::vector<icon_image> images;
    std::string error;
    ASSERT_TRUE(read_icon_file(write_icon_file({bmp}), images, error)) << error;
    EXPECT_EQ(images[0].width, 40u);
    EXPECT_EQ(images[0].height, 40u);

    auto refused = [&](const std::vector<uint8_t>& file, const char* why) {
        std::vector<icon_image> out;
        std::string e;
        EXPECT_FALSE(read_icon_file(file, out, e)) << why;
        EXPECT_NE(e.find(why), std::string::npos) << e;
    };
    refused({}, "not an icon");
    refused({0, 0, 1, 0, 0, 0}, "no image");
    icon_image big;
    big.data = png_header(257);
    refused(write_icon_file({big}), "over 256");
    big.data = dib(300, 600);
    refused(write_icon_file({big}), "over 256");
    std::vector<uint8_t> outside = write_icon_file({bmp});
    outside[18] = 0xFF;  // the first image's offset, past the end
    refused(outside, "outside the file");
    icon_image junk;
    junk.data = std::vector<uint8_t>(10, 'x');
    refused(write_icon_file({junk}), "neither PNG nor a bitmap");
}

TEST(ManifestCheck, WellFormedOrOneLineWhy) {
    std::string error;
    auto ok = [&](const std::string& text) {
        return check_manifest_xml(std::vector<uint8_t>(text.begin(), text.end()), error);
    };
    std::vector<uint8_t> launcher;
    pe::read_file(ONEFILE_SOURCE_MANIFEST, launcher);
    EXPECT_TRUE(check_manifest_xml(launcher, error)) << error;
    EXPECT_TRUE(ok("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c --><a x='&lt;'><b/>&#x41;<![CDATA[<]]></a>\n"))
        << error;
    for (const char* bad : {"", "<a>", "<a></b>", "<a x='1' x='2'/>", "<a x=1/>", "<a>&nbsp;</a>", "<a/><b/>",
                            "text<a/>", "<!DOCTYPE a><a/>", "<a>\xFF</a>", "<a><!-- -- --></a>"}) {
        EXPECT_FALSE(ok(bad)) << bad;
    }
    EXPECT_FALSE(ok("<a>\n<b>\n</a>"));
    EXPECT_EQ(error, "line 3: end tag </a> does not match <b>");
}

}  // namespace
