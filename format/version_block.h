// The version block (RT_VERSION 1): one writer and one reader, used by the
// build of the launcher stub, the packer and the image tests. Platform-free:
// bytes and char16_t only.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct version_fields {
    uint16_t file_version[4] = {0, 0, 0, 0};     // A.B.C.D
    uint16_t product_version[4] = {0, 0, 0, 0};
    // Key and value of each string of the one table "000004b0", in order.
    std::vector<std::pair<std::u16string, std::u16string>> strings;
};

// Signature 0xFEEF04BD, structure version 0, the two versions, flags mask
// 0x3F, flags 0, VOS__WINDOWS32, VFT_APP, no subtype or date; one string
// table "000004b0" whose value lengths count bytes, terminator included; one
// Translation value (language 0, code page 0x04B0).
std::vector<uint8_t> write_version_block(const version_fields& fields);

// Reads any well-formed block: the fixed part's versions and the strings of
// its first string table. False, with `error` saying why, otherwise.
bool read_version_block(const std::vector<uint8_t>& block, version_fields& fields,
                        std::string& error);
