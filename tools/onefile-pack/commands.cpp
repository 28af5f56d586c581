// The commands but info: pack and brand (the stub rewritten, stub.h),
// archive (the bare payload, written by format/'s one writer), and list and
// extract (the payload of a packed image or a bare archive read in place
// with the launcher's reader, as the launcher would).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "checks.h"
#include "commands.h"
#include "mapped_file.h"
#include "names.h"
#include "output.h"
#include "payload_walk.h"
#include "pe_image.h"
#include "run_program.h"
#include "stub.h"

namespace pack {

namespace {

// The payload of `file`, where its image places it; a payload said to pass
// the file's end is cut there, and the walk meets the cut as damage.
payload_walk walk_payload_of(const mapped_file& file) {
    payload_location where = locate_payload(file.data(), file.size());
    uint64_t size = std::min(where.size, file.size() - std::min(where.offset, file.size()));
    return payload_walk(file.data() + where.offset, size);
}

// A stored name as a relative path, refusing anything that could leave the
// target directory or that Windows could not create.
fs::path relative_path_of(const std::u16string& name) {
    fs::path path;
    size_t start = 0;
    for (;;) {
        size_t cut = name.find(u'\\', start);
        std::u16string component = name.substr(start, cut == std::u16string::npos ? std::u16string::npos : cut - start);
        std::string problem = component_problem(component);
        if (!problem.empty()) throw pack_error("payload holds an unsafe name (" + problem + "): " + to_utf8(name));
#ifdef _WIN32
        path /= std::wstring(component.begin(), component.end());
#else
        path /= to_utf8(component);
#endif
        if (cut == std::u16string::npos) return path;
        start = cut + 1;
    }
}

constexpr size_t MAX_FILES_NAMED = 5;  // of the files extract would write over

// Writes `target` through `body` under a name of its own beside it, which
// takes the target's name only once complete: a file cut short by damage
// is never left, and what stood at `target` (only when `replace`) stays
// until then.
template <typename Body>
void write_whole(const fs::path& target, bool replace, Body body) {
    fs::path temporary;
    std::error_code error;
    for (int i = 0; temporary.empty() || fs::exists(fs::symlink_status(temporary, error)); ++i) {
        temporary = target;
        temporary += ".partial" + (i == 0 ? std::string() : std::to_string(i));
    }
    try {
        output_file out(temporary, target);
        body(out);
        out.close();
        put_in_place(temporary, target, replace);
    } catch (...) {
        fs::remove(temporary, error);
        throw;
    }
}

// True when `path` is an image that carries a payload: what an earlier
// pack wrote.
bool is_packed_image(const fs::path& path) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in) return false;
    try {
        for (const auto& item : summarise_image(in, size).resources)
            if (pe::is_payload(item.first)) return true;
    } catch (const pack_error&) {
    }
    return false;
}

// An earlier output inside APP_DIR is not part of the application; any
// other file at OUT is, and writing OUT would replace it.
void leave_out_earlier_output(std::vector<app_entry>& entries, const fs::path& output, const std::u16string& run_program) {
    std::error_code error;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!fs::equivalent(it->source, output, error)) continue;
        std::u16string name = run_program;
        std::replace(name.begin(), name.end(), u'/', u'\\');
        std::string what = it == entries.begin()          ? "the application library " + to_utf8(it->name)
                         : fold_case(it->name) == fold_case(name) ? "the program --run " + to_utf8(run_program) + " names"
                         : is_packed_image(output)        ? ""
                                                          : "the application's file " + to_utf8(it->name);
        if (!what.empty())
            throw refused_error("-o " + output.string() + " is " + what + "; writing it would replace it: "
                                "write the packed file outside the application folder or under another name");
        entries.erase(it);
        return;
    }
}

// The compressed form at `level` (the solid one for SOLID_COMPRESSION), its
// bar counting the bytes read.
archive_options compressing(const std::vector<app_entry>& entries, int level, bool progress) {
    uint64_t total = 0;
    for (const app_entry& entry : entries) total += entry.size;
    archive_options compressed;
    compressed.solid = level == SOLID_COMPRESSION;
    compressed.level = compressed.solid ? SOLID_LEVEL : level;
    compressed.progress = progress_bar("compressing", total, progress);
    return compressed;
}

}  // namespace

int checked_compression_level(const std::string& text) {
    if (text == "max") return SOLID_COMPRESSION;
    size_t used = 0;
    int level = 0;
    try {
        level = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || level < MIN_COMPRESSION_LEVEL || level > MAX_COMPRESSION_LEVEL)
        throw option_error("--compress", "level '" + text + "' is not a number from " +
                                             std::to_string(MIN_COMPRESSION_LEVEL) + " to " +
                                             std::to_string(MAX_COMPRESSION_LEVEL) + " or max");
    return level;
}

std::string describe_compression(uint64_t packed, uint64_t size) {
    char ratio[32] = "-";
    if (size != 0) std::snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(packed) / static_cast<double>(size));
    return "compressed to " + std::to_string(packed) + " bytes (" + ratio + " of it)";
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
    leave_out_earlier_output(entries, options.output, options.run_program);
    if (!options.run_program.empty()) add_run_program_entry(entries, options.run_program);
    if (options.check) {
        std::string label = to_utf8(given.main_name);
        if (!given.main_file.empty() && given.main_file.filename().u8string() != label)
            label = given.main_file.filename().u8string() + " (packed as " + label + ")";
        std::ostringstream warnings;
        check_application(entries, label);
        std::vector<fs::path> search_paths = options.search_paths;
        if (options.default_search)
            for (const fs::path& folder : default_search_paths())
                if (std::find(search_paths.begin(), search_paths.end(), folder) == search_paths.end())
                    search_paths.push_back(folder);
        std::string added = complete_payload(entries, label, search_paths, warnings);
        if (!added.empty()) {
            resource_leaf leaf;
            leaf.type.id = pe::RT_RCDATA;
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
    prepare_digest(stub, entries, options.stub);
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

void list_payload(const fs::path& image, std::ostream& out) {
    mapped_file file(image);
    payload_walk walk = walk_payload_of(file);
    uint64_t count = 0, total = 0;
    for (payload_entry entry; walk.next(entry);) {
        out << entry.size << '\t' << to_utf8(entry.name) << '\n';
        ++count;
        total += entry.size;
    }
    out << count << " entries, " << total << " bytes";
    if (walk.compressed()) out << ", " << describe_compression(walk.packed(), total);
    out << "\n";
}

void extract_payload(const fs::path& image, const fs::path& directory, bool force) {
    mapped_file file(image);
    // Every name is checked, and every file that stands in the way found,
    // before a byte is written. A folder on the way that is a link (or not
    // a folder) is refused even with --force: writing through it would put
    // files, or replace them, outside `directory`.
    std::vector<std::string> standing;
    std::set<fs::path> crossings;
    payload_walk names = walk_payload_of(file);
    for (payload_entry entry; names.next(entry);) {
        fs::path relative = relative_path_of(entry.name);
        fs::path target = directory / relative;
        std::error_code error;
        if (fs::exists(fs::symlink_status(target, error))) standing.push_back(target.string());
        fs::path folder = directory;
        for (const fs::path& component : relative.parent_path()) {
            folder /= component;
            fs::file_status status = fs::symlink_status(folder, error);
            if (fs::is_symlink(status) || (fs::exists(status) && !fs::is_directory(status))) {
                crossings.insert(folder);
                break;
            }
        }
    }
    if (!crossings.empty()) {
        std::string lines;
        for (const fs::path& folder : crossings)
            lines += (lines.empty() ? "" : "\n") + folder.string() +
                     " is a link or not a folder; extract writes into folders of its own, never through one";
        throw refused_error(lines);
    }
    if (!force && !standing.empty()) {
        std::string lines;
        for (size_t i = 0; i < standing.size() && i < MAX_FILES_NAMED; ++i)
            lines += (i == 0 ? "" : "\n") + standing[i] + " exists; extract writes over a file only with --force";
        if (standing.size() > MAX_FILES_NAMED)
            lines += "\n" + std::to_string(standing.size() - MAX_FILES_NAMED) + " more files exist below " + directory.string();
        throw refused_error(lines);
    }
    payload_walk walk = walk_payload_of(file);
    for (payload_entry entry; walk.next(entry);) {
        fs::path current = directory / relative_path_of(entry.name);
        std::error_code error;
        fs::create_directories(current.parent_path(), error);
        if (error) throw pack_error("cannot create " + current.parent_path().string() + ": " + error.message());
        write_whole(current, force, [&](output_file& out) {
            walk.read(entry, [&](const uint8_t* data, size_t size) { out.write(data, size); });
        });
    }
}

}  // namespace pack
