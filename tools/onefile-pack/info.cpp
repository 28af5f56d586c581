// onefile-pack info: what a packed image says about itself, on one screen:
// the stub's release, the version block and icons, the payload and its
// application library. Reads only what it shows; the payload in place,
// through the launcher's own reader.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "format/archive_format.h"
#include "format/branding_record.h"
#include "format/little_endian.h"
#include "format/version_block.h"
#include "mapped_file.h"
#include "branding.h"
#include "checks.h"
#include "commands.h"
#include "names.h"
#include "pe_image.h"
#include "run_program.h"
#include "payload_walk.h"

namespace pack {

namespace {

constexpr uint16_t RT_GROUP_ICON = 14, RT_VERSION = 16;
constexpr uint32_t MAX_RESOURCE_READ = 1u << 20;  // a version block or icon directory is far smaller

bool is_resource(const resource_leaf& leaf, uint16_t type, uint16_t name) {
    return !leaf.type.named && leaf.type.id == type && !leaf.name.named && leaf.name.id == name;
}


const std::pair<resource_leaf, uint64_t>* find_resource(const image_summary& summary, uint16_t type, uint16_t name) {
    for (const auto& item : summary.resources)
        if (is_resource(item.first, type, name)) return &item;
    return nullptr;
}

// The launcher's branding record, or nothing when the image has none this
// packer knows.
std::vector<uint8_t> branding_record_bytes(std::istream& in, const image_summary& summary) {
    for (const image_section& section : summary.sections) {
        if (section.name != std::string(BRANDING_SECTION_NAME, strnlen(BRANDING_SECTION_NAME, 8))) continue;
        // The fields before the run-directory template: older records end there.
        if (section.size < BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE) return {};
        std::vector<uint8_t> record =
            read_stream_bytes(in, section.offset, BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE);
        return is_branding_record(record, 0) ? record : std::vector<uint8_t>();
    }
    return {};
}

std::string launcher_release(const std::vector<uint8_t>& record) {
    if (record.empty()) return "unknown";
    const char* text = reinterpret_cast<const char*>(&record[offsetof(branding_record, launcher_version)]);
    std::string release(text, strnlen(text, LAUNCHER_VERSION_CAPACITY));
    return release.empty() ? "unknown" : release;
}

std::string progress_window(const std::vector<uint8_t>& record) {
    if (record.empty()) return "unknown";
    uint32_t flags = get32(record, offsetof(branding_record, flags));
    if ((flags & BRANDING_FLAG_NO_PROGRESS) != 0) return "off (--no-progress)";
    if ((flags & BRANDING_FLAG_PROGRESS_WINDOW) == 0) return "none (the launcher has none)";
    return "on (while unpacking takes over 0.4 s)";
}

// The record's run-directory template, its kind and whether it is swept.
std::string run_directory_of(std::istream& in, const image_summary& summary) {
    for (const image_section& section : summary.sections) {
        if (section.name != std::string(BRANDING_SECTION_NAME, strnlen(BRANDING_SECTION_NAME, 8))) continue;
        if (section.size < BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE) break;
        std::vector<uint8_t> record = read_stream_bytes(in, section.offset, BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE);
        if (!is_branding_record(record, 0)) break;
        std::u16string path_template = u"{TEMP}\\onefile_{PID}_{TIME}";
        if (has_run_directory_field(record, 0)) {
            if (section.size < BRANDING_RECORD_SIZE_WITHOUT_STAMP) break;
            record = read_stream_bytes(in, section.offset, BRANDING_RECORD_SIZE_WITHOUT_STAMP);
            std::u16string stored = record_text(record, offsetof(branding_record, run_directory), RUN_DIRECTORY_TEMPLATE_CAPACITY);
            if (!stored.empty()) path_template = stored;
        }
        record_texts texts = {record_text(record, offsetof(branding_record, company), BRANDING_TEXT_CAPACITY),
                              record_text(record, offsetof(branding_record, product), BRANDING_TEXT_CAPACITY),
                              record_text(record, offsetof(branding_record, version), BRANDING_VERSION_CAPACITY)};
        return describe_run_directory(path_template, texts);
    }
    return "unknown (no branding record)";
}

// A cache build's stamp, when its record holds one; "" otherwise.
std::string build_stamp_of(std::istream& in, const image_summary& summary) {
    for (const image_section& section : summary.sections) {
        if (section.name != std::string(BRANDING_SECTION_NAME, strnlen(BRANDING_SECTION_NAME, 8))) continue;
        if (section.size < sizeof(branding_record)) break;
        std::vector<uint8_t> record = read_stream_bytes(in, section.offset, sizeof(branding_record));
        if (!is_branding_record(record, 0) || !has_build_stamp_field(record, 0)) break;
        size_t at = offsetof(branding_record, build_stamp);
        uint64_t stamp = get32(record, at) | static_cast<uint64_t>(get32(record, at + 4)) << 32;
        return stamp == 0 ? "" : describe_build_stamp(stamp);
    }
    return "";
}

std::string version_text(const uint16_t parts[4]) {
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

using row_fn = std::function<void(const std::string&, const std::string&)>;

// The payload's rows; returns how many findings make `info` exit 3. The
// payload is read in place in `file`; stored entries' images are read from
// `in` at their offsets, compressed ones decoded into memory first.
size_t show_payload(std::istream& in, const mapped_file& file, const image_summary& summary,
                    const std::pair<resource_leaf, uint64_t>& payload, const row_fn& row) {
    const uint64_t offset = std::min<uint64_t>(payload.second, file.size());
    payload_walk walk(file.data() + offset, std::min<uint64_t>(payload.first.size, file.size() - offset));
    std::vector<payload_entry> entries;
    for (payload_entry entry; walk.next(entry);) entries.push_back(entry);
    uint64_t total = 0;
    for (const payload_entry& entry : entries) total += entry.size;
    row("payload", std::to_string(entries.size()) + " entries, " + std::to_string(total) + " bytes" +
                       (walk.compressed() ? ", " + walk.form() + ", " + describe_compression(walk.packed(), total) : ""));
    if (entries.empty()) return 0;
    // Compressed entries are decoded once each.
    auto decoded = std::make_shared<std::list<std::istringstream>>();
    auto part_of = [&in, &file, &walk, decoded](const payload_entry& entry) -> file_part {
        if (!walk.compressed()) return {&in, static_cast<uint64_t>(entry.data - file.data()), entry.size};
        decoded->emplace_back(walk.bytes_of(entry));
        return {&decoded->back(), 0, entry.size};
    };
    const payload_entry& first = entries.front();
    std::string first_name = to_utf8(first.name);
    library_image library = read_library(part_of(first));
    std::string state = !library.problem.empty() ? "cannot be loaded: " + library.problem
                      : library.exports_run_code ? "exports run_code" : "does NOT export run_code";
    row("library", first_name + ", " + std::to_string(first.size) + " bytes, " + state);
    // With --run the imports that tell whether the application starts are
    // the program's: the run library's are the launcher's own.
    const payload_entry* importer = &first;
    library_image imported = library;
    if (entries.size() > 1 && entries[1].name == RUN_PROGRAM_ENTRY_NAME && entries[1].size <= MAX_NAME_UNITS * 3) {
        std::string program = walk.bytes_of(entries[1]);
        row("program", program + " (--run; the library starts it)");
        for (const payload_entry& entry : entries)
            if (fold_case(entry.name) == fold_case(from_utf8(program))) importer = &entry;
        if (importer != &first) imported = read_image(part_of(*importer));
    }

    // The loader looks in the importer's own folder first.
    std::u16string folder = importer->name.substr(0, importer->name.rfind(u'\\') + 1);
    std::set<std::string> beside;
    for (const payload_entry& entry : entries)
        if (entry.name.compare(0, folder.size(), folder) == 0 && entry.name.find(u'\\', folder.size()) == std::u16string::npos)
            beside.insert(library_key(to_utf8(entry.name.substr(folder.size()))));
    std::string imports;
    for (const std::string& name : imported.imports) {
        const char* mark = beside.count(library_key(name)) ? "in the payload"
                         : is_system_library(name)         ? "system"
                                                            : "MISSING";
        imports += (imports.empty() ? "" : ", ") + name + " (" + mark + ")";
    }
    if (imported.problem.empty()) row("imports", imports.empty() ? "none" : imports);
    for (const auto& [leaf, offset] : summary.resources) {
        if (!leaf.name.named || leaf.name.name != ADDED_LIBRARIES_RESOURCE || leaf.size > MAX_RESOURCE_READ) continue;
        std::vector<uint8_t> text = read_stream_bytes(in, offset, leaf.size);
        std::istringstream lines(std::string(text.begin(), text.end()));
        for (std::string line; std::getline(lines, line);) {
            size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
            if (second == std::string::npos) continue;
            row("added", line.substr(0, tab) + " (imported by " + line.substr(tab + 1, second - tab - 1) + ") from " +
                             line.substr(second + 1));
        }
    }

    // Every image in the payload, in the words the launcher's failure box uses.
    std::vector<payload_file> files;
    for (const payload_entry& entry : entries)
        files.push_back({entry.name, [part_of, entry] { return read_image(part_of(entry)); }});
    payload_check check = check_payload(files, first_name, {});
    for (const std::string& problem : check.unloadable) row("unloadable", problem);
    for (const import_finding& finding : check.findings) row("missing", describe_finding_for_info(finding));
    return check.unloadable.size() + check.findings.size();
}

}  // namespace

size_t show_info(const fs::path& image, std::ostream& out) {
    std::error_code error;
    uint64_t file_size = fs::file_size(image, error);
    if (error) throw pack_error("cannot read " + image.string() + ": " + error.message());
    std::ifstream in(image, std::ios::binary);
    if (!in) throw pack_error("cannot read " + image.string());
    image_summary summary;
    try {
        summary = summarise_image(in, file_size);
    } catch (const pack_error& e) {
        throw pack_error("not a packed image: " + image.string() + ": " + e.what());
    }
    // A bare stub shows its defaults; only a payload has a library to check.
    const auto* payload = find_resource(summary, PAYLOAD_RESOURCE_TYPE, PAYLOAD_RESOURCE_ID);
    std::vector<uint8_t> record = branding_record_bytes(in, summary);
    if (payload == nullptr && record.empty())
        throw refused_error(image.string() + " carries no payload and no launcher's branding record: "
                            "a program, not a packed image or a launcher stub");

    auto row = [&out](const std::string& label, const std::string& value) {
        out << "  " << label << std::string(label.size() < 17 ? 17 - label.size() : 1, ' ') << value << '\n';
    };
    out << image.string() << ", " << file_size << " bytes\n";
    row("launcher", launcher_release(record));
    // Where the image's header says it is (summarise_image has checked it).
    std::vector<uint8_t> pe_offset = read_stream_bytes(in, 0x3C, 4);
    row("subsystem", describe_subsystem(get16(read_stream_bytes(in, get32(pe_offset, 0) + 24 + 68, 2), 0)));
    row("progress window", progress_window(record));
    row("run directory", run_directory_of(in, summary));
    std::string stamp = build_stamp_of(in, summary);
    if (!stamp.empty()) row("build stamp", stamp + " (of two builds of one version, the later keeps the cache)");

    if (const auto* version = find_resource(summary, RT_VERSION, 1)) {
        version_fields fields;
        std::string why;
        if (version->first.size > MAX_RESOURCE_READ ||
            !read_version_block(read_stream_bytes(in, version->second, version->first.size), fields, why)) {
            row("version block", "damaged" + (why.empty() ? std::string() : ": " + why));
        } else {
            row("file version", version_text(fields.file_version));
            row("product version", version_text(fields.product_version));
            for (const auto& [key, value] : fields.strings) row(to_utf8(key), to_utf8(value));
        }
    } else {
        row("version block", "none");
    }

    if (const auto* group = find_resource(summary, RT_GROUP_ICON, 1)) {
        std::string sizes;
        uint32_t size = std::min(group->first.size, MAX_RESOURCE_READ);
        std::vector<uint8_t> directory = size >= 6 ? read_stream_bytes(in, group->second, size) : std::vector<uint8_t>();
        size_t count = directory.size() >= 6 ? get16(directory, 4) : 0;
        for (size_t i = 0; i < count && 6 + 14 * (i + 1) <= directory.size(); ++i) {
            unsigned width = directory[6 + 14 * i], height = directory[7 + 14 * i];
            std::string one = std::to_string(width == 0 ? 256 : width);
            if (height != width) one += "x" + std::to_string(height == 0 ? 256 : height);
            sizes += (sizes.empty() ? "" : ", ") + one;
        }
        row("icons", sizes.empty() ? "none" : sizes);
    } else {
        row("icons", "none");
    }

    size_t missing = 0;
    if (payload == nullptr) {
        row("payload", "none (a stub: nothing is packed yet)");
    } else {
        mapped_file file(image);
        missing = show_payload(in, file, summary, *payload, row);
    }
    row("signed", summary.has_signature ? "yes (security directory present)" : "no");
    return missing;
}

}  // namespace pack
