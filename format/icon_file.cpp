// .ico files and icon directories (see icon_file.h). Bytes only; no
// platform calls.
#include "format/icon_file.h"

#include <algorithm>

#include "format/little_endian.h"

namespace {

constexpr size_t ICO_HEADER_BYTES = 6;
constexpr size_t ICO_ENTRY_BYTES = 16;
constexpr uint16_t TYPE_ICON = 1;
constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t BITMAPINFOHEADER_BYTES = 40;

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
// A directory byte holds 1..255; 0 stands for 256.
uint8_t dimension_byte(uint32_t pixels) { return pixels >= 256 ? 0 : static_cast<uint8_t>(pixels); }

// The fields a .ico entry and an icon directory entry share: dimensions,
// colour count, reserved, planes, bit count and byte size.
void put_entry_start(std::vector<uint8_t>& out, const icon_image& image) {
    out.push_back(dimension_byte(image.width));
    out.push_back(dimension_byte(image.height));
    out.push_back(image.colour_count);
    out.push_back(0);
    put16(out, image.planes);
    put16(out, image.bit_count);
    put32(out, static_cast<uint32_t>(image.data.size()));
}

// Width and height from the image's own header: a PNG's IHDR, or a DIB's
// BITMAPINFOHEADER, whose height counts the colour and the mask rows.
bool image_size(const std::vector<uint8_t>& data, uint32_t& width, uint32_t& height, std::string& error) {
    bool png = data.size() >= 8 && std::equal(PNG_SIGNATURE, PNG_SIGNATURE + 8, data.begin());
    if (png) {
        if (data.size() < 24 || be32(data, 8) < 8 || std::string(data.begin() + 12, data.begin() + 16) != "IHDR") {
            error = "PNG image without IHDR";
            return false;
        }
        width = be32(data, 16);
        height = be32(data, 20);
    } else {
        if (data.size() < BITMAPINFOHEADER_BYTES || get32(data, 0) < BITMAPINFOHEADER_BYTES) {
            error = "image is neither PNG nor a bitmap";
            return false;
        }
        int32_t w = static_cast<int32_t>(get32(data, 4)), h = static_cast<int32_t>(get32(data, 8));
        if (w <= 0 || h <= 0 || h % 2 != 0) {
            error = "bitmap has a bad size";
            return false;
        }
        width = static_cast<uint32_t>(w);
        height = static_cast<uint32_t>(h) / 2;
    }
    if (width == 0 || height == 0) {
        error = "image has no pixels";
        return false;
    }
    if (width > MAX_ICON_PIXELS || height > MAX_ICON_PIXELS) {
        error = "image of " + std::to_string(width) + "x" + std::to_string(height) + " pixels is over " +
                std::to_string(MAX_ICON_PIXELS);
        return false;
    }
    return true;
}

}  // namespace

bool read_icon_file(const std::vector<uint8_t>& file, std::vector<icon_image>& images, std::string& error) {
    images.clear();
    if (file.size() < ICO_HEADER_BYTES || get16(file, 0) != 0 || get16(file, 2) != TYPE_ICON) {
        error = "not an icon file";
        return false;
    }
    size_t count = get16(file, 4);
    if (count == 0) {
        error = "icon file holds no image";
        return false;
    }
    if (file.size() < ICO_HEADER_BYTES + ICO_ENTRY_BYTES * count) {
        error = "icon directory is truncated";
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        size_t at = ICO_HEADER_BYTES + ICO_ENTRY_BYTES * i;
        uint64_t size = get32(file, at + 8), offset = get32(file, at + 12);
        std::string which = "image " + std::to_string(i + 1) + ": ";
        if (size == 0 || offset > file.size() || size > file.size() - offset) {
            error = which + "directory points outside the file";
            return false;
        }
        icon_image image;
        image.colour_count = file[at + 2];
        image.planes = get16(file, at + 4);
        image.bit_count = get16(file, at + 6);
        image.data.assign(file.begin() + static_cast<std::ptrdiff_t>(offset),
                          file.begin() + static_cast<std::ptrdiff_t>(offset + size));
        if (!image_size(image.data, image.width, image.height, error)) {
            error = which + error;
            return false;
        }
        images.push_back(std::move(image));
    }
    return true;
}

std::vector<uint8_t> write_icon_file(const std::vector<icon_image>& images) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, TYPE_ICON);
    put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(ICO_HEADER_BYTES + ICO_ENTRY_BYTES * images.size());
    for (const icon_image& image : images) {
        put_entry_start(out, image);
        put32(out, offset);
        offset += static_cast<uint32_t>(image.data.size());
    }
    for (const icon_image& image : images) out.insert(out.end(), image.data.begin(), image.data.end());
    return out;
}

std::vector<uint8_t> write_icon_directory(const std::vector<icon_image>& images, uint16_t first_id) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, TYPE_ICON);
    put16(out, static_cast<uint32_t>(images.size()));
    uint16_t id = first_id;
    for (const icon_image& image : images) {
        put_entry_start(out, image);
        put16(out, id++);
    }
    return out;
}
