// The PE32+ image as the packer reads it (pe_headers.cpp, pe_resources.cpp):
// its resource leaves, where its payload lies, its branding record and the
// summary `info` shows. Writing an image is stub.h's.
#pragma once
#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"

namespace pack {

struct resource_key {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;
};
bool operator<(const resource_key& a, const resource_key& b);
bool operator==(const resource_key& a, const resource_key& b);

struct resource_leaf {
    resource_key type, name, language;
    uint32_t data_rva = 0;
    uint32_t size = 0;
    uint32_t code_page = 0;
};

// Where the payload can be found in a file: an image's resource 27 or a
// bare archive.
struct payload_location {
    uint64_t offset;
    uint64_t size;
};
payload_location locate_payload(std::istream& in, uint64_t file_size);
// The same in a file mapped into memory (mapped_file.h).
payload_location locate_payload(const uint8_t* file, uint64_t file_size);

// True when a launcher branding record of this layout starts at `at` (the
// caller has checked that the whole record lies inside `bytes`).
bool is_branding_record(const std::vector<uint8_t>& bytes, size_t at);
// True when that record has the run-directory template (and the payload's
// digest); false for the shorter record of older releases.
bool has_run_directory_field(const std::vector<uint8_t>& bytes, size_t at);
// True when that record is of this release's layout, with the build stamp.
bool has_build_stamp_field(const std::vector<uint8_t>& bytes, size_t at);

// `count` bytes at `offset` of a stream; a pack_error when the file ends first.
std::vector<uint8_t> read_stream_bytes(std::istream& in, uint64_t offset, size_t count);

// Reads the resource leaves of a PE32+ image (through `read_at`).
std::vector<resource_leaf> read_resources(const std::vector<uint8_t>& image);

// The largest image the packer writes; see pe_headers.cpp for where it comes from.
extern const uint64_t MAX_IMAGE_SIZE;

struct image_section {
    std::string name;
    uint64_t offset, size;  // its data in the file
};
struct image_summary {
    std::vector<std::pair<resource_leaf, uint64_t>> resources;  // with the file offset of each leaf's data
    std::vector<image_section> sections;
    bool has_signature = false;  // a security directory is present
};
image_summary summarise_image(std::istream& in, uint64_t file_size);

}  // namespace pack
