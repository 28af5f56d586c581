// Writing the packed (or only branded) image from the stub. The stub's
// sections stay where the linker put them; the complete resource tree, the
// stub's own resources (rebranded if asked) and the payload as resource 27,
// goes into the stub's resource section when that is the last one and holds
// the tree alone, else into one new last section. Nothing follows it, so the
// image can be signed afterwards.
#include <algorithm>
#include <cstring>
#include <fstream>

#include "format/little_endian.h"
#include "output.h"
#include "stub.h"

namespace pack {

using namespace pe;

namespace {

constexpr uint32_t SCN_INITIALIZED_DATA_READ = 0x00000040 | 0x40000000;
constexpr uint16_t FILE_LINE_NUMS_STRIPPED = 0x0004, FILE_LOCAL_SYMS_STRIPPED = 0x0008;
constexpr uint32_t DIRECTORY_COUNT = 16;

// A payload written beforehand, copied into the image.
void copy_file_into(const fs::path& path, uint64_t size, output_file& out) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (size > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
        in.read(buffer.data(), static_cast<std::streamsize>(part));
        if (static_cast<size_t>(in.gcount()) != part) throw pack_error("cannot read " + path.string());
        out.write(buffer.data(), part);
        size -= part;
    }
}

// The section that may take the new tree in its own slot: the stub's
// resource section when it is the last one in memory and in the file, ends
// the file, starts on a page boundary, and no data directory but the
// resource directory points into it. -1 otherwise.
int reusable_resource_section(const loaded_stub& s) {
    const pe_layout& layout = s.layout;
    if (layout.resource_rva == 0) return -1;
    int found = -1;
    for (size_t i = 0; i < layout.sections.size(); ++i)
        if (layout.sections[i].virtual_address == layout.resource_rva) found = static_cast<int>(i);
    if (found < 0) return -1;
    const section_header& r = layout.sections[static_cast<size_t>(found)];
    if (r.raw_size == 0 || r.raw_offset % PAGE_SIZE != 0 || static_cast<uint64_t>(r.raw_offset) + r.raw_size != s.image.size() ||
        layout.resource_size > std::max(r.virtual_size, r.raw_size))
        return -1;
    for (const section_header& other : layout.sections) {
        if (&other == &r) continue;
        if (other.virtual_address > r.virtual_address) return -1;
        if (other.raw_size != 0 && other.raw_offset >= r.raw_offset) return -1;
    }
    const uint32_t end = r.virtual_address + std::max(r.virtual_size, r.raw_size);
    const uint32_t opt = layout.optional_offset;
    uint32_t directories = std::min(get32(s.image, opt + 108), DIRECTORY_COUNT);
    for (uint32_t d = 0; d < directories; ++d) {
        if (d == RESOURCE_DIRECTORY || d == SECURITY_DIRECTORY) continue;
        uint32_t rva = get32(s.image, opt + 112 + 8 * d), size = get32(s.image, opt + 112 + 8 * d + 4);
        if (size != 0 && rva < end && rva + static_cast<uint64_t>(size) > r.virtual_address) return -1;
    }
    // A COFF symbol table (ld keeps one for the long names of debug
    // sections) must lie before it, or it would be cut off.
    if (get32(s.image, opt - 20 + 8) >= r.raw_offset) return -1;
    return found;
}

}  // namespace

void write_image(loaded_stub& s, const std::vector<app_entry>* entries, const fs::path& output, bool progress,
                 const fs::path* compressed) {
    const pe_layout& layout = s.layout;
    const int reuse = reusable_resource_section(s);
    uint64_t first_raw = UINT64_MAX;
    uint64_t image_end = 0;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const section_header& h = layout.sections[i];
        if (h.raw_size != 0) first_raw = std::min<uint64_t>(first_raw, h.raw_offset);
        if (static_cast<int>(i) != reuse)
            image_end = std::max<uint64_t>(image_end, static_cast<uint64_t>(h.virtual_address) + std::max(h.virtual_size, h.raw_size));
    }
    uint64_t table_end = layout.section_table_offset + SECTION_HEADER_SIZE * (layout.section_count + 1ull);
    if (reuse < 0 && (table_end > layout.size_of_headers || table_end > first_raw))
        throw pack_error("stub has no room for another section header");

    const uint64_t payload_size = compressed ? fs::file_size(*compressed) : entries ? stored_archive_size(*entries) : 0;
    std::vector<resource_leaf> leaves = s.leaves;
    std::vector<std::vector<uint8_t>> data = s.data;
    if (entries) {
        resource_leaf payload;
        payload.type.id = RT_RCDATA;
        payload.name.id = PAYLOAD_ID;
        payload.code_page = PAYLOAD_CODE_PAGE;
        leaves.push_back(payload);
        data.emplace_back();
    }

    // In its old slot the tree keeps the section's address and file offset.
    // Otherwise a new section starts on a page boundary whatever the stub's
    // file alignment, so that a loader can map it rather than read it:
    // Wine 8 falls back to reading a section whose file offset is not page
    // aligned.
    const section_header* old = reuse >= 0 ? &layout.sections[static_cast<size_t>(reuse)] : nullptr;
    const uint64_t section_rva = old ? old->virtual_address : align_up(image_end, layout.section_alignment);
    const uint64_t section_offset = old ? old->raw_offset
                                        : align_up(s.image.size(), std::max<uint64_t>(layout.file_alignment, PAGE_SIZE));
    const uint64_t kept_bytes = old ? old->raw_offset : s.image.size();
    const uint64_t size_of_image_limit = MAX_IMAGE_SIZE;
    auto too_large = [&](uint64_t bytes) {
        return refused_error("packed image would need " + std::to_string(bytes) +
                          " bytes in memory; the loader maps at most " + std::to_string(size_of_image_limit));
    };
    if (payload_size > UINT32_MAX || section_rva > UINT32_MAX) throw too_large(section_rva + payload_size);
    resource_section section = build_resource_section(leaves, data, static_cast<uint32_t>(payload_size),
                                                      static_cast<uint32_t>(section_rva));
    const uint64_t section_size = section.payload_offset + payload_size;
    const uint64_t raw_size = align_up(section_size, layout.file_alignment);
    const uint64_t size_of_image = align_up(section_rva + section_size, layout.section_alignment);
    if (size_of_image > size_of_image_limit || section_size > UINT32_MAX) throw too_large(size_of_image);

    // The stub's headers, amended.
    std::vector<uint8_t> headers(s.image.begin(), s.image.begin() + static_cast<std::ptrdiff_t>(layout.size_of_headers));
    const uint32_t opt = layout.optional_offset;
    // ld sets these two COFF bits, which mean nothing in an image: the
    // characteristics stay executable image and large-address aware only.
    set16(headers, opt - 2, get16(headers, opt - 2) & ~(FILE_LINE_NUMS_STRIPPED | FILE_LOCAL_SYMS_STRIPPED));
    if (!old) set16(headers, opt - 20 + 2, layout.section_count + 1u);
    uint32_t initialized = get32(headers, opt + 8) - (old ? old->raw_size : 0);
    set32(headers, opt + 8, initialized + static_cast<uint32_t>(raw_size));  // SizeOfInitializedData
    set32(headers, opt + 56, static_cast<uint32_t>(size_of_image));
    set32(headers, opt + 64, 0);  // checksum, filled in at the end
    set32(headers, opt + 112 + 8 * RESOURCE_DIRECTORY, static_cast<uint32_t>(section_rva));
    set32(headers, opt + 112 + 8 * RESOURCE_DIRECTORY + 4, static_cast<uint32_t>(section_size));
    size_t at = layout.section_table_offset + static_cast<size_t>(old ? reuse : layout.section_count) * SECTION_HEADER_SIZE;
    if (!old) {
        // The old tree stays in its section, unreferenced; that section is
        // renamed so that tools looking for ".rsrc" by name find the new one.
        for (uint16_t i = 0; i < layout.section_count; ++i) {
            size_t other = layout.section_table_offset + i * SECTION_HEADER_SIZE;
            if (std::memcmp(&headers[other], ".rsrc\0\0\0", 8) == 0) std::memcpy(&headers[other], ".rsrc0\0\0", 8);
        }
    }
    std::memcpy(&headers[at], ".rsrc\0\0\0", 8);
    set32(headers, at + 8, static_cast<uint32_t>(section_size));
    set32(headers, at + 12, static_cast<uint32_t>(section_rva));
    set32(headers, at + 16, static_cast<uint32_t>(raw_size));
    set32(headers, at + 20, static_cast<uint32_t>(section_offset));
    for (size_t k = 24; k < 36; ++k) headers[at + k] = 0;
    set32(headers, at + 36, SCN_INITIALIZED_DATA_READ);

    writing_to(output, [&](output_file& out) {
        out.on_progress = progress_bar("packing", section_offset + raw_size, progress);
        out.write(headers.data(), headers.size());
        out.write(s.image.data() + headers.size(), kept_bytes - headers.size());
        out.write_zeros(section_offset - kept_bytes);
        out.write(section.head.data(), section.head.size());
        if (entries) {
            // The digest takes the bytes the launcher reads: the trailer's
            // padding too.
            sha256 digest;
            out.digest = s.digest_offset != 0 ? &digest : nullptr;
            if (compressed)
                copy_file_into(*compressed, payload_size, out);
            else
                write_archive(*entries, {}, out);
            out.digest = nullptr;
            if (s.digest_offset != 0) {
                std::array<uint8_t, 32> bytes = digest.finish();
                out.patch_summed(s.digest_offset, bytes.data(), bytes.size());
            }
        }
        out.write_zeros(raw_size - section_size);
        if (out.offset() != section_offset + raw_size) throw pack_error("internal error: image size mismatch");
        uint64_t sum = out.word_sum();
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        uint32_t checksum = static_cast<uint32_t>(sum + out.offset());
        std::vector<uint8_t> field(4);
        set32(field, 0, checksum);
        out.patch(opt + 64, field.data(), 4);
    });
}

}  // namespace pack
