// Icons: the images of a .ico file, and the icon directory (RT_GROUP_ICON)
// that names them as RT_ICON resources. One implementation for the build of
// the launcher stub and the packer. Platform-free: bytes only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t MAX_ICON_PIXELS = 256;

struct icon_image {
    uint32_t width = 0, height = 0;  // pixels, from the image's own header
    // As the .ico directory gives them, copied into the icon directory.
    uint8_t colour_count = 0;
    uint16_t planes = 0, bit_count = 0;
    std::vector<uint8_t> data;  // a whole PNG file, or a DIB as the .ico holds it
};

// Parses a .ico file (type 1) whose images are PNG files or DIBs. False, with
// `error` saying why, for a file that is not an icon, holds no image, holds
// an image over MAX_ICON_PIXELS or whose directory points outside the file.
bool read_icon_file(const std::vector<uint8_t>& file, std::vector<icon_image>& images,
                    std::string& error);

// A .ico file holding `images` in order (for making artwork files).
std::vector<uint8_t> write_icon_file(const std::vector<icon_image>& images);

// RT_GROUP_ICON: reserved 0, type 1, count, then one 14-byte entry per image
// (width and height, 0 standing for 256, colour count, reserved 0, planes,
// bit count, byte size, RT_ICON id), the ids counting up from `first_id`.
std::vector<uint8_t> write_icon_directory(const std::vector<icon_image>& images,
                                          uint16_t first_id);
