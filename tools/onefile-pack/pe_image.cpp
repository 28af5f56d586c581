// Writing the packed (or only branded) image from the stub. The stub's sections stay where the linker
// put them; the complete resource tree, the stub's own resources (rebranded
// if asked) and the payload as resource 27, goes into the stub's resource
// section when that is the last one and holds the tree alone, else into one
// new last section. Nothing follows it, so the image can be signed afterwards.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>

#include "pe_layout.h"
#include "format/branding_record.h"
#include "format/little_endian.h"

namespace pack {

using namespace pe;

namespace {

constexpr uint32_t SCN_INITIALIZED_DATA_READ = 0x00000040 | 0x40000000;
constexpr uint64_t MAX_STUB_SIZE = 256ull << 20;

std::vector<uint8_t> read_whole_stub(const fs::path& stub) {
    std::error_code error;
    uint64_t size = fs::file_size(stub, error);
    if (error) throw pack_error("cannot read stub " + stub.string() + ": " + error.message());
    if (size > MAX_STUB_SIZE) throw pack_error("stub is larger than 256 MiB: " + stub.string());
    std::ifstream in(stub, std::ios::binary);
    std::vector<uint8_t> image(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(size));
    if (!in) throw pack_error("cannot read stub " + stub.string());
    return image;
}

// A name beside the output, renamed over it only once it is complete.
fs::path temporary_beside(const fs::path& output) {
    fs::path temporary = output;
    temporary += ".partial";
    return temporary;
}

void finish_output(output_file& out, const fs::path& temporary, const fs::path& output, bool executable) {
    out.close();
    std::error_code error;
#ifdef _WIN32
    fs::remove(output, error);  // the runtime's rename does not replace
    (void)executable;
#else
    // Executable for whoever may read it, as a linker leaves its output.
    fs::perms perms = fs::status(temporary, error).permissions();
    for (auto [read, exec] : {std::pair{fs::perms::owner_read, fs::perms::owner_exec},
                              {fs::perms::group_read, fs::perms::group_exec}, {fs::perms::others_read, fs::perms::others_exec}})
        if ((perms & read) != fs::perms::none) perms |= exec;
    if (!error && executable) fs::permissions(temporary, perms, error);
#endif
    fs::rename(temporary, output, error);
    if (error) throw pack_error("cannot rename " + temporary.string() + " to " + output.string() + ": " + error.message());
}

template <typename Body>
void writing_to(const fs::path& output, Body body, bool executable = true) {
    fs::path temporary = temporary_beside(output);
    try {
        output_file out(temporary);
        body(out);
        finish_output(out, temporary, output, executable);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

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

}  // namespace

namespace {

constexpr uint16_t FILE_LINE_NUMS_STRIPPED = 0x0004, FILE_LOCAL_SYMS_STRIPPED = 0x0008;
constexpr uint32_t DIRECTORY_COUNT = 16;

// The stub read and checked, with its resources, before any output exists.
struct loaded_stub {
    std::vector<uint8_t> image;
    pe_layout layout;
    std::vector<resource_leaf> leaves;
    std::vector<std::vector<uint8_t>> data;
    int brand_section = -1;  // index of the branding record's section
    // File offset of the record's payload digest when its template is a
    // cache's: the archive's SHA-256 goes there. 0 otherwise.
    size_t digest_offset = 0;
};

std::string section_name(const std::vector<uint8_t>& image, const pe_layout& layout, size_t i) {
    const char* name = reinterpret_cast<const char*>(&image[layout.section_table_offset + i * SECTION_HEADER_SIZE]);
    return std::string(name, strnlen(name, 8));
}

loaded_stub load_stub(const fs::path& stub) {
    loaded_stub s;
    s.image = read_whole_stub(stub);
    read_at_fn read_at = memory_reader(s.image);
    s.layout = parse_layout(read_at);
    if (s.layout.security_size != 0)
        throw pack_error("stub is signed; pack the unsigned stub and sign the packed image");
    s.leaves = walk_resources(s.layout, read_at);
    for (const resource_leaf& leaf : s.leaves) {
        if (is_payload(leaf)) throw pack_error("stub already carries a payload (resource 27): " + stub.string());
        s.data.push_back(read_at(rva_to_offset(s.layout, leaf.data_rva, leaf.size), leaf.size));
    }
    for (size_t i = 0; i < s.layout.sections.size(); ++i)
        if (section_name(s.image, s.layout, i) == std::string(BRANDING_SECTION_NAME)) s.brand_section = static_cast<int>(i);
    return s;
}

// File offset of the branding record, at the start of its section's raw
// data, checked by its mark and size.
size_t record_offset(const loaded_stub& s) {
    const section_header& h = s.layout.sections[static_cast<size_t>(s.brand_section)];
    auto fits = [&](size_t size) { return h.raw_size >= size && static_cast<uint64_t>(h.raw_offset) + size <= s.image.size(); };
    if (!fits(BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE) || !is_branding_record(s.image, h.raw_offset) ||
        (has_run_directory_field(s.image, h.raw_offset) && !fits(sizeof(branding_record))))
        throw pack_error("the stub's section .brand holds no branding record this packer knows");
    return h.raw_offset;
}

std::u16string record_text(const std::vector<uint8_t>& image, size_t at, size_t capacity) {
    std::u16string text;
    for (size_t i = 0; i < capacity; ++i) {
        char16_t u = get16(image, at + 2 * i);
        if (u == 0) break;
        text += u;
    }
    return text;
}

void put_record_text(std::vector<uint8_t>& image, size_t at, size_t capacity, const std::u16string& text) {
    if (text.size() >= capacity) throw pack_error("text too long for the branding record: " + to_utf8(text));
    for (size_t i = 0; i < capacity; ++i) set16(image, at + 2 * i, i < text.size() ? text[i] : 0);
}

// Rewrites resources and record for `branding`, if any option is given;
// --run-directory alone changes the record only.
void brand_loaded(loaded_stub& s, const branding_options* branding, const fs::path& output) {
    if (branding == nullptr) return;
    // The header's subsystem field alone: the checksum is made again on
    // writing, and the entry stays the same (the runtime's start-up does not
    // depend on the field).
    if (branding->console) set16(s.image, s.layout.optional_offset + OPTIONAL_SUBSYSTEM, SUBSYSTEM_WINDOWS_CUI);
    if (branding->no_progress) {
        if (s.brand_section < 0)
            throw option_error("--no-progress", "the stub has no branding record (section .brand) to keep it in");
        size_t flags_at = record_offset(s) + offsetof(branding_record, flags);
        set32(s.image, flags_at, get32(s.image, flags_at) | BRANDING_FLAG_NO_PROGRESS);
    }
    bool run_directory = !branding->run_directory.empty();
    if (!branding->any() && !run_directory) return;
    record_texts stub_record;
    size_t at = 0;
    if (s.brand_section >= 0) {
        at = record_offset(s);
        stub_record = {record_text(s.image, at + offsetof(branding_record, company), BRANDING_TEXT_CAPACITY),
                       record_text(s.image, at + offsetof(branding_record, product), BRANDING_TEXT_CAPACITY),
                       record_text(s.image, at + offsetof(branding_record, version), BRANDING_VERSION_CAPACITY)};
    }
    if (run_directory && (s.brand_section < 0 || !has_run_directory_field(s.image, at)))
        throw option_error("--run-directory", "the stub's branding record holds no run-directory template "
                                              "(a launcher release before templates); use a newer stub");
    record_texts texts = stub_record;
    if (branding->any())
        texts = apply_branding(*branding, from_utf8(output.filename().u8string()),
                               s.brand_section >= 0 ? &stub_record : nullptr, s.leaves, s.data);
    // Checked against the texts the record will hold; nothing is written yet.
    std::u16string path_template = run_directory ? checked_run_directory(branding->run_directory, texts) : u"";
    if (s.brand_section < 0) return;
    // launcher_version is the launcher's own release and stays as it is.
    if (branding->any()) {
        put_record_text(s.image, at + offsetof(branding_record, company), BRANDING_TEXT_CAPACITY, texts.company);
        put_record_text(s.image, at + offsetof(branding_record, product), BRANDING_TEXT_CAPACITY, texts.product);
        put_record_text(s.image, at + offsetof(branding_record, version), BRANDING_VERSION_CAPACITY, texts.version);
    }
    if (run_directory)
        put_record_text(s.image, at + offsetof(branding_record, run_directory), RUN_DIRECTORY_TEMPLATE_CAPACITY,
                        path_template);
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

// Writes `s` with a new resource tree: its resources plus, when `entries`
// is given, the payload as resource 27.
// `compressed`: the payload's compressed form, already written to a file.
void write_image(loaded_stub& s, const std::vector<app_entry>* entries, const fs::path& output, bool progress,
                 const fs::path* compressed = nullptr) {
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

// The compressed form at `level`, its bar counting the bytes read.
archive_options compressing(const std::vector<app_entry>& entries, int level, bool progress) {
    uint64_t total = 0;
    for (const app_entry& entry : entries) total += entry.size;
    archive_options compressed;
    compressed.level = level;
    compressed.progress = progress_bar("compressing", total, progress);
    return compressed;
}

}  // namespace

// A packed file that keeps the product texts of the launcher as released
// tells its users it is the launcher, not their application.
void warn_stock_texts(const loaded_stub& s, std::ostream& warnings) {
    if (s.brand_section < 0) return;
    size_t at = record_offset(s);
    const struct {
        const char* what;
        size_t offset, capacity;
        const char16_t* stock;
        const char* option;
    } texts[] = {
        {"company", offsetof(branding_record, company), BRANDING_TEXT_CAPACITY, ONEFILE_STOCK_COMPANY, "--company"},
        {"product name", offsetof(branding_record, product), BRANDING_TEXT_CAPACITY, ONEFILE_STOCK_PRODUCT, "--product"},
        {"version", offsetof(branding_record, version), BRANDING_VERSION_CAPACITY, ONEFILE_STOCK_VERSION, "--version"},
    };
    for (const auto& text : texts) {
        std::u16string value = record_text(s.image, at + text.offset, text.capacity);
        if (value == text.stock)
            warnings << "onefile-pack: warning: the packed file keeps the launcher's own " << text.what << " '"
                     << to_utf8(value) << "'; give " << text.option << "\n";
    }
}

// A stub whose record holds a cache's template gets the payload's digest
// there; the digest field is zero until the archive has been written.
void prepare_digest(loaded_stub& s, const std::vector<app_entry>& entries) {
    if (s.brand_section < 0) return;
    size_t at = record_offset(s);
    if (!has_run_directory_field(s.image, at)) return;
    std::u16string path_template =
        record_text(s.image, at + offsetof(branding_record, run_directory), RUN_DIRECTORY_TEMPLATE_CAPACITY);
    if (path_template.empty() || !is_cache_template(path_template)) return;
    for (const app_entry& entry : entries)
        if (fold_case(entry.name) == fold_case(std::u16string(CACHE_RECORD_FILE_NAME)))
            throw refused_error(to_utf8(entry.name) + ": the launcher records a cache's digest under this name; "
                                "rename the file");
    s.digest_offset = at + offsetof(branding_record, payload_digest);
    for (size_t i = 0; i < PAYLOAD_DIGEST_SIZE; ++i) s.image[s.digest_offset + i] = 0;
}

void pack_image(const pack_options& options) {
    loaded_stub stub = load_stub(options.stub);
    brand_loaded(stub, options.branding, options.output);
    pack_options given = options;
    if (!options.run_program.empty()) {
        given.main_name = from_utf8(RUN_LIBRARY_FILE_NAME);
        given.main_file = options.stub.parent_path() / RUN_LIBRARY_FILE_NAME;
        if (!fs::is_regular_file(given.main_file))
            throw pack_error("--run needs " + given.main_file.string() + " (installed beside the stub)");
    }
    std::vector<app_entry> entries = scan_app_tree(options.app_dir, given.main_name, given.main_file);
    // An earlier output inside APP_DIR is not part of the application.
    std::error_code error;
    entries.erase(std::remove_if(entries.begin() + 1, entries.end(),
                                 [&](const app_entry& e) { return fs::equivalent(e.source, options.output, error); }),
                  entries.end());
    if (!options.run_program.empty()) add_run_program_entry(entries, options.run_program);
    if (options.check) {
        std::string label = to_utf8(given.main_name);
        if (!given.main_file.empty() && given.main_file.filename().u8string() != label)
            label = given.main_file.filename().u8string() + " (packed as " + label + ")";
        std::ostringstream warnings;
        check_application(entries, label);
        std::string added = complete_payload(entries, label, options.search_paths, warnings);
        if (!added.empty()) {
            resource_leaf leaf;
            leaf.type.id = RT_RCDATA;
            leaf.name = {true, 0, ADDED_LIBRARIES_RESOURCE};
            stub.leaves.push_back(leaf);
            stub.data.emplace_back(added.begin(), added.end());
        }
        warn_long_paths(entries, warnings);
        warn_stock_texts(stub, warnings);
        std::cerr << warnings.str();
        if (options.strict && !warnings.str().empty())
            throw refused_error("--strict: the warnings above are errors; " + options.output.string() +
                                " was not written");
    }
    prepare_digest(stub, entries);
    if (options.compress == 0) return write_image(stub, &entries, options.output, options.progress);
    // The image's layout needs the payload's size first: the compressed form
    // is written beside the output and copied in.
    fs::path compressed = temporary_beside(options.output);
    compressed += ".payload";
    try {
        archive_options form = compressing(entries, options.compress, options.progress);
        writing_to(compressed, [&](output_file& out) { write_archive(entries, form, out); });
        write_image(stub, &entries, options.output, options.progress, &compressed);
    } catch (...) {
        std::error_code ignored;
        fs::remove(compressed, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove(compressed, ignored);
}

void brand_stub(const fs::path& stub_path, const fs::path& output, const branding_options& branding) {
    loaded_stub stub = load_stub(stub_path);
    std::error_code error;
    fs::perms perms = fs::status(stub_path, error).permissions();
    brand_loaded(stub, &branding, output);
    write_image(stub, nullptr, output, false);
    // A stub stays as executable as it was (the build brands it in place).
    if (!error) fs::permissions(output, perms, error);
}

void write_bare_archive(const fs::path& app_dir, const std::u16string& main_name, const fs::path& output,
                        bool progress, int compress) {
    std::vector<app_entry> entries = scan_app_tree(app_dir, main_name);
    if (compress != 0) {
        archive_options form = compressing(entries, compress, progress);
        return writing_to(output, [&](output_file& out) { write_archive(entries, form, out); });
    }
    uint64_t size = stored_archive_size(entries);
    writing_to(output, [&](output_file& out) {
        out.on_progress = progress_bar("archiving", size, progress);
        write_archive(entries, {}, out);
    }, false);
}

}  // namespace pack
