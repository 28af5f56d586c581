// Checks of a built launcher image (stub, packed executable, or a test
// program linked the same way) against what the image must carry: header
// settings, resource tree, icons, icon directory, version block, manifest.
// The checks are value-parameterised on an image label; each side of the
// build instantiates them with the images it can reach and defines
// `locate_image` to say where each one is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace image_checks {

// What the image's branding must say; the defaults are the launcher's own.
struct Branding {
    std::vector<std::pair<std::u16string, std::u16string>> strings = {
        {u"CompanyName", u"Marrowlake"},         {u"ProductName", u"Marrowlake"},
        {u"ProductVersion", u"1.0.9.0"},         {u"FileVersion", u"1.0.9.0"},
        {u"OriginalFilename", u"Marrowlake.exe"}, {u"InternalName", u"Marrowlake"},
        {u"FileDescription", u"Marrowlake.exe"},
    };
    uint32_t version_high = 0x00010000, version_low = 0x00090000;  // 1.0.9.0
    size_t version_block_bytes = 632;  // 0: not fixed
    std::vector<uint32_t> icon_pixels = {16, 32, 48, 64, 128, 256};
    std::string manifest_path;  // empty: the launcher's manifest
};

struct Located {
    std::string path;         // empty: the image is not available
    std::string skip_reason;  // why it is not
    bool carries_payload = false;  // RT_RCDATA 27 expected beside the other resources
    Branding branding;
};

// Defined by each test program.
Located locate_image(const std::string& label);

// The manifest as it must appear in the image, byte for byte (the
// launcher's own, or the file at `path` when it is not empty).
std::vector<uint8_t> expected_manifest(const std::string& path = "");

class LauncherImage : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    std::vector<uint8_t> file_;
    bool carries_payload_ = false;
    Branding branding_;
};

// Chunk types of a PNG file in order; empty with `error` set if its framing
// or a CRC is wrong.
std::vector<std::string> png_chunks(const std::vector<uint8_t>& png, std::string& error);

}  // namespace image_checks
