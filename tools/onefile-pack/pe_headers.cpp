// PE32+ headers and sections: the layout a file's headers give, reads at
// offsets and RVAs, and the summary `info` shows. No resource tree here.
#include <cstring>

#include "pe_layout.h"
#include "format/branding_record.h"
#include "format/little_endian.h"

namespace pack {

// RVAs, SizeOfImage and resource sizes are 32-bit fields, so an image ends
// below 4 GiB. Wine 8 starts images up to that bound (measured: SizeOfImage
// 0xFFFFF000 loads, and its payload section is mapped, 7 MB resident with a
// 1 GiB payload), so the format's own bound is the limit the packer keeps.
const uint64_t MAX_IMAGE_SIZE = 0xFFFFF000ull;

namespace pe {

pack_error not_pe(const std::string& why) { return pack_error("not a 64-bit Windows image (PE32+): " + why); }

pe_layout parse_layout(const read_at_fn& read_at) {
    std::vector<uint8_t> dos = read_at(0, 64);
    if (dos[0] != 'M' || dos[1] != 'Z') throw not_pe("no MZ signature");
    pe_layout layout;
    uint32_t pe = get32(dos, 0x3C);
    std::vector<uint8_t> coff = read_at(pe, 24);
    if (std::memcmp(coff.data(), "PE\0\0", 4) != 0) throw not_pe("no PE signature");
    if (get16(coff, 4) != MACHINE_AMD64) throw not_pe("machine is not x86-64");
    layout.section_count = get16(coff, 6);
    uint16_t optional_size = get16(coff, 20);
    layout.optional_offset = pe + 24;
    if (optional_size < 112 + 8 * (SECURITY_DIRECTORY + 1)) throw not_pe("optional header too small");
    std::vector<uint8_t> opt = read_at(layout.optional_offset, optional_size);
    if (get16(opt, 0) != MAGIC_PE32_PLUS) throw not_pe("optional header is not PE32+");
    layout.section_alignment = get32(opt, 32);
    layout.file_alignment = get32(opt, 36);
    layout.size_of_headers = get32(opt, 60);
    uint32_t directories = get32(opt, 108);
    if (directories <= SECURITY_DIRECTORY) throw not_pe("too few data directories");
    layout.resource_rva = get32(opt, 112 + 8 * RESOURCE_DIRECTORY);
    layout.resource_size = get32(opt, 112 + 8 * RESOURCE_DIRECTORY + 4);
    layout.security_size = get32(opt, 112 + 8 * SECURITY_DIRECTORY + 4);
    auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (!power_of_two(layout.file_alignment) || !power_of_two(layout.section_alignment) ||
        layout.section_alignment < PAGE_SIZE)
        throw not_pe("unusual alignment");
    layout.section_table_offset = layout.optional_offset + optional_size;
    // Checked here so that later header edits stay inside the copied bytes.
    read_at(0, layout.size_of_headers);
    if (layout.section_table_offset + SECTION_HEADER_SIZE * layout.section_count > layout.size_of_headers)
        throw not_pe("section table lies outside the headers");
    std::vector<uint8_t> table = read_at(layout.section_table_offset, SECTION_HEADER_SIZE * layout.section_count);
    for (uint16_t i = 0; i < layout.section_count; ++i) {
        size_t at = i * SECTION_HEADER_SIZE;
        layout.sections.push_back({get32(table, at + 8), get32(table, at + 12), get32(table, at + 16), get32(table, at + 20)});
    }
    return layout;
}

// File offset of `size` bytes at `rva`, which must lie in one section's raw data.
uint64_t rva_to_offset(const pe_layout& layout, uint32_t rva, uint64_t size) {
    for (const section_header& s : layout.sections) {
        if (rva >= s.virtual_address && static_cast<uint64_t>(rva) - s.virtual_address + size <= s.raw_size)
            return static_cast<uint64_t>(s.raw_offset) + (rva - s.virtual_address);
    }
    throw pack_error("resource data lies outside the image's sections");
}

read_at_fn memory_reader(const std::vector<uint8_t>& image) {
    return bytes_reader(image.data(), image.size(), not_pe("header or table past the end of the file"));
}

read_at_fn bytes_reader(const uint8_t* bytes, uint64_t size, const pack_error& past_end) {
    return [bytes, size, past_end](uint64_t offset, size_t count) {
        if (offset > size || count > size - offset) throw past_end;
        return std::vector<uint8_t>(bytes + offset, bytes + offset + count);
    };
}

// Reads from a file of `file_size` bytes; a read past its end throws `past_end`.
read_at_fn stream_reader(std::istream& in, uint64_t file_size, const pack_error& past_end) {
    return [&in, file_size, past_end](uint64_t offset, size_t count) {
        if (offset > file_size || count > file_size - offset) throw past_end;
        return read_stream_bytes(in, offset, count);
    };
}

}  // namespace pe

using namespace pe;

bool is_branding_record(const std::vector<uint8_t>& bytes, size_t at) {
    if (std::memcmp(&bytes[at], BRANDING_MARK, sizeof BRANDING_MARK) != 0) return false;
    uint32_t size = get32(bytes, at + offsetof(branding_record, record_size));
    return size == sizeof(branding_record) || size == BRANDING_RECORD_SIZE_WITHOUT_STAMP ||
           size == BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE;
}

bool has_run_directory_field(const std::vector<uint8_t>& bytes, size_t at) {
    return get32(bytes, at + offsetof(branding_record, record_size)) >= BRANDING_RECORD_SIZE_WITHOUT_STAMP;
}

bool has_build_stamp_field(const std::vector<uint8_t>& bytes, size_t at) {
    return get32(bytes, at + offsetof(branding_record, record_size)) == sizeof(branding_record);
}

std::vector<uint8_t> read_stream_bytes(std::istream& in, uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    if (static_cast<size_t>(in.gcount()) != count) throw pack_error("image is truncated");
    return bytes;
}

image_summary summarise_image(std::istream& in, uint64_t file_size) {
    read_at_fn read_at = stream_reader(in, file_size, not_pe("header or table past the end of the file"));
    pe_layout layout = parse_layout(read_at);
    image_summary summary;
    summary.has_signature = layout.security_size != 0;
    std::vector<uint8_t> table = read_at(layout.section_table_offset, SECTION_HEADER_SIZE * layout.section_count);
    for (uint16_t i = 0; i < layout.section_count; ++i) {
        const char* name = reinterpret_cast<const char*>(&table[i * SECTION_HEADER_SIZE]);
        const section_header& s = layout.sections[i];
        summary.sections.push_back({std::string(name, strnlen(name, 8)), s.raw_offset, s.raw_size});
    }
    for (const resource_leaf& leaf : walk_resources(layout, read_at))
        summary.resources.emplace_back(leaf, rva_to_offset(layout, leaf.data_rva, leaf.size));
    return summary;
}

}  // namespace pack
