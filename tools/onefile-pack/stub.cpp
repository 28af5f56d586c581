// The stub read, checked and rebranded: its resources, its branding record
// and the texts and digest the record holds. No output is written here.
#include <cstddef>
#include <cstring>
#include <fstream>

#include "format/branding_record.h"
#include "format/little_endian.h"
#include "names.h"
#include "stub.h"

namespace pack {

using namespace pe;

namespace {

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

std::string section_name(const std::vector<uint8_t>& image, const pe_layout& layout, size_t i) {
    const char* name = reinterpret_cast<const char*>(&image[layout.section_table_offset + i * SECTION_HEADER_SIZE]);
    return std::string(name, strnlen(name, 8));
}

// File offset of the branding record, at the start of its section's raw
// data, checked by its mark and size.
size_t record_offset(const loaded_stub& s) {
    const section_header& h = s.layout.sections[static_cast<size_t>(s.brand_section)];
    auto fits = [&](size_t size) { return h.raw_size >= size && static_cast<uint64_t>(h.raw_offset) + size <= s.image.size(); };
    if (!fits(BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE) || !is_branding_record(s.image, h.raw_offset) ||
        !fits(get32(s.image, h.raw_offset + offsetof(branding_record, record_size))))
        throw pack_error("the stub's section .brand holds no branding record this packer knows");
    return h.raw_offset;
}

void put_record_text(std::vector<uint8_t>& image, size_t at, size_t capacity, const std::u16string& text) {
    if (text.size() >= capacity) throw pack_error("text too long for the branding record: " + to_utf8(text));
    for (size_t i = 0; i < capacity; ++i) set16(image, at + 2 * i, i < text.size() ? text[i] : 0);
}

}  // namespace

std::u16string record_text(const std::vector<uint8_t>& image, size_t at, size_t capacity) {
    std::u16string text;
    for (size_t i = 0; i < capacity; ++i) {
        char16_t u = get16(image, at + 2 * i);
        if (u == 0) break;
        text += u;
    }
    return text;
}

loaded_stub load_stub(const fs::path& stub) {
    loaded_stub s;
    s.image = read_whole_stub(stub);
    read_at_fn read_at = memory_reader(s.image);
    try {
        s.layout = parse_layout(read_at);
        s.leaves = walk_resources(s.layout, read_at);
    } catch (const pack_error& e) {
        throw pack_error("stub " + stub.string() + ": " + e.what());
    }
    if (s.layout.security_size != 0)
        throw pack_error("stub " + stub.string() + " is signed; pack the unsigned stub and sign the packed image");
    for (const resource_leaf& leaf : s.leaves) {
        if (is_payload(leaf)) throw pack_error("stub already carries a payload (resource 27): " + stub.string());
        s.data.push_back(read_at(rva_to_offset(s.layout, leaf.data_rva, leaf.size), leaf.size));
    }
    for (size_t i = 0; i < s.layout.sections.size(); ++i)
        if (section_name(s.image, s.layout, i) == std::string(BRANDING_SECTION_NAME)) s.brand_section = static_cast<int>(i);
    return s;
}

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

void prepare_digest(loaded_stub& s, const std::vector<app_entry>& entries, const fs::path& stub_path) {
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
    if (!has_build_stamp_field(s.image, at)) return;
    uint64_t stamp = build_stamp(stub_path, entries);
    set32(s.image, at + offsetof(branding_record, build_stamp), static_cast<uint32_t>(stamp));
    set32(s.image, at + offsetof(branding_record, build_stamp) + 4, static_cast<uint32_t>(stamp >> 32));
}

}  // namespace pack
