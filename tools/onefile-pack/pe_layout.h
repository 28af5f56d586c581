// The PE32+ layout the packer's image files share: header constants, the
// section table as read, and the readers of headers, sections and resources.
// Internal to the packer (its PE readers and writer).
#pragma once
#include <functional>

#include "errors.h"
#include "format/archive_format.h"
#include "pe_image.h"

namespace pack::pe {

constexpr uint32_t PAGE_SIZE = 4096;
constexpr uint16_t MACHINE_AMD64 = 0x8664;
constexpr uint16_t MAGIC_PE32_PLUS = 0x20B;
// COFF characteristics and the optional header's subsystem field.
constexpr uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t FILE_DLL = 0x2000;
constexpr uint32_t OPTIONAL_SUBSYSTEM = 68;  // its offset in the optional header
constexpr uint16_t SUBSYSTEM_WINDOWS_GUI = 2, SUBSYSTEM_WINDOWS_CUI = 3;
constexpr uint32_t RESOURCE_DIRECTORY = 2;
constexpr uint32_t SECURITY_DIRECTORY = 4;
constexpr uint16_t RT_RCDATA = 10;
constexpr uint16_t PAYLOAD_ID = PAYLOAD_RESOURCE_ID;
constexpr uint32_t PAYLOAD_CODE_PAGE = 1252;
constexpr uint32_t SECTION_HEADER_SIZE = 40;

using read_at_fn = std::function<std::vector<uint8_t>(uint64_t offset, size_t count)>;

inline uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

struct section_header {
    uint32_t virtual_size, virtual_address, raw_size, raw_offset;
};

struct pe_layout {
    uint32_t optional_offset = 0;
    uint32_t section_table_offset = 0;
    uint16_t section_count = 0;
    uint32_t section_alignment = 0, file_alignment = 0, size_of_headers = 0;
    uint32_t resource_rva = 0, resource_size = 0, security_size = 0;
    std::vector<section_header> sections;
};

pack_error not_pe(const std::string& why);
pe_layout parse_layout(const read_at_fn& read_at);
// File offset of `size` bytes at `rva`, which must lie in one section's raw data.
uint64_t rva_to_offset(const pe_layout& layout, uint32_t rva, uint64_t size);
// Reads from `image`, which must outlive the reader.
read_at_fn memory_reader(const std::vector<uint8_t>& image);
// Reads from `size` bytes at `bytes`; a read past their end throws `past_end`.
read_at_fn bytes_reader(const uint8_t* bytes, uint64_t size, const pack_error& past_end);
// Reads from a file of `file_size` bytes; a read past its end throws `past_end`.
read_at_fn stream_reader(std::istream& in, uint64_t file_size, const pack_error& past_end);

// --- resources (pe_resources.cpp) ---
std::vector<resource_leaf> walk_resources(const pe_layout& layout, const read_at_fn& read_at);
bool is_payload(const resource_leaf& leaf);

// The new resource section: directories, data entries, name strings, the
// stub's resource data, then the payload at `payload_offset`.
struct resource_section {
    std::vector<uint8_t> head;
    uint64_t payload_offset;
};
resource_section build_resource_section(const std::vector<resource_leaf>& leaves,
                                        const std::vector<std::vector<uint8_t>>& data,
                                        uint32_t payload_size, uint32_t section_rva);

}  // namespace pack::pe
