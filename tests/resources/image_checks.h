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

struct Located {
    std::string path;         // empty: the image is not available
    std::string skip_reason;  // why it is not
    bool carries_payload = false;  // RT_RCDATA 27 expected beside the other resources
};

// Defined by each test program.
Located locate_image(const std::string& label);

// The manifest as it must appear in the image, byte for byte.
std::vector<uint8_t> expected_manifest();

class LauncherImage : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    std::vector<uint8_t> file_;
    bool carries_payload_ = false;
};

// Chunk types of a PNG file in order; empty with `error` set if its framing
// or a CRC is wrong.
std::vector<std::string> png_chunks(const std::vector<uint8_t>& png, std::string& error);

}  // namespace image_checks
