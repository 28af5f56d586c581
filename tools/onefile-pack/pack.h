// The packer's pieces: entry names as the launcher will see them, the ordered
// application tree, the archive stream, the PE image with its resource tree,
// and the commands. Portable C++17, standard library only.
#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/archive_writer.h"

namespace pack {

namespace fs = std::filesystem;

// Every bad input ends as one of these; the message is one line.
struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- names ---------------------------------------------------------------
constexpr size_t MAX_NAME_UNITS = 1023;

// Why Windows cannot create a file or directory of this name (a reserved
// device name, a trailing dot or space, a character invalid in file names),
// or an empty string when it can.
std::string component_problem(const std::u16string& component);

// Folding for the case-insensitive comparison of names: simple upper-case
// mapping of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic, the ranges
// that NTFS's upcase table maps one to one.
std::u16string fold_case(const std::u16string& name);

std::string to_utf8(const std::u16string& text);
std::u16string from_utf8(const std::string& text);  // throws pack_error on bad UTF-8

// --- the application tree -------------------------------------------------
// A file of the tree as the archive's writer takes it: its name as stored,
// and its source file, or its bytes in `data` when `source` is empty.
using app_entry = archive_input;

// Archive order: `main_name` first; then the other top-level files in
// ascending order of their UTF-16 units; then each subdirectory in that same
// order, depth first, a directory's own files before its subdirectories, so
// that all files of one directory stand together. Symbolic links to regular
// files are stored as the file they point to; links to directories, dangling
// links and special files are refused. Empty directories are not recorded.
// With `main_source` given, the first entry is that file, stored as
// `main_name`, and APP_DIR must not hold a top-level file of that name.
std::vector<app_entry> scan_app_tree(const fs::path& app_dir, const std::u16string& main_name,
                                     const fs::path& main_source = {});

// --- the archive stream ----------------------------------------------------
// SHA-256 (digest.cpp): the payload's identity for a cache.
class sha256 {
public:
    sha256();
    ~sha256();
    void update(const void* data, size_t size);
    std::array<uint8_t, 32> finish();  // once

private:
    struct worker;  // hashes on a thread of its own
    std::unique_ptr<worker> worker_;
};

// Where bytes go: a file with a running PE checksum and progress.
class output_file final : public archive_sink {
public:
    explicit output_file(const fs::path& path);
    void write(const void* data, size_t size) override;
    void write_zeros(uint64_t count);
    uint64_t offset() const override { return offset_; }
    // Sum of the little-endian 16-bit words written so far, before folding.
    uint64_t word_sum() const { return word_sum_; }
    void patch(uint64_t at, const void* data, size_t size) override;  // bytes already summed as zero
    // The same, adding the new bytes to the checksum's sum.
    void patch_summed(uint64_t at, const void* data, size_t size);
    // Receives every byte written, when set.
    sha256* digest = nullptr;
    void close();
    std::function<void(uint64_t)> on_progress;

private:
    std::ofstream stream_;
    fs::path path_;
    uint64_t offset_ = 0;
    uint64_t word_sum_ = 0;
};

// --- the compressed form (compress.cpp) -------------------------------------
// zstd levels; 3 (zstd's own default) makes real PE files 0.29 of their size
// at a third of level 6's time, which saves 5 % more (bench/README.md).
constexpr int DEFAULT_COMPRESSION_LEVEL = 3, MIN_COMPRESSION_LEVEL = 1, MAX_COMPRESSION_LEVEL = 19;
int checked_compression_level(const std::string& text);  // option_error unless 1..19
// "compressed to P bytes (0.293 of it)": list's and info's words.
std::string describe_compression(uint64_t packed, uint64_t size);

// --- the PE image ------------------------------------------------------------
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
// True when that record is of this release's layout, with the run-directory
// template; false for the shorter record of older releases.
bool has_run_directory_field(const std::vector<uint8_t>& bytes, size_t at);

// `count` bytes at `offset` of a stream; a pack_error when the file ends first.
std::vector<uint8_t> read_stream_bytes(std::istream& in, uint64_t offset, size_t count);

// Reads the resource leaves of a PE32+ image (through `read_at`).
std::vector<resource_leaf> read_resources(const std::vector<uint8_t>& image);

// The largest image the packer writes; see pe_image.cpp for where it comes from.
extern const uint64_t MAX_IMAGE_SIZE;

struct pack_options {
    fs::path app_dir, output, stub;
    std::u16string main_name = u"main.dll";
    bool progress = false;
    bool check = true;  // --no-check clears it: the application library and path checks
    bool strict = false;  // --strict: a warning of the checks refuses the pack
    fs::path main_file;   // --main-file: the application library, from outside APP_DIR
    std::vector<fs::path> search_paths;  // --search-path: where missing libraries are taken from
    const struct branding_options* branding = nullptr;  // icons, texts, manifest; nullptr: none (branding.cpp)
    std::u16string run_program;  // --run: the program the run library starts (run_program.cpp)
    int compress = 0;  // --compress[=LEVEL]: the zstd level; 0 stores
};
void pack_image(const pack_options& options);
void write_bare_archive(const fs::path& app_dir, const std::u16string& main_name,
                        const fs::path& output, bool progress, int compress = 0);
// One line per entry, size TAB name; then a summary line.
void list_payload(const fs::path& image, std::ostream& out);
void extract_payload(const fs::path& image, const fs::path& directory);

// A progress bar on standard error, drawn only when it is a terminal.
std::function<void(uint64_t)> progress_bar(const char* what, uint64_t total, bool enabled);

// --- checks of the application (app_library.cpp, path_lengths.cpp) ----------
// Input the user must change; the tool ends with status 2.
struct refused_error : pack_error {
    using pack_error::pack_error;
};

// A file, or a stretch of one (an entry inside a payload), read on demand.
struct file_part {
    std::istream* in;
    uint64_t offset, size;
};

struct library_image {
    std::string problem;  // why it cannot load as a 64-bit DLL; empty when it can
    bool never_loads = false;  // the problem is certain (not a reading the reader may get wrong)
    bool exports_run_code = false;
    bool is_image = false;  // MZ and PE signatures: a Windows image by its content
    bool is_dll = false;
    std::vector<std::string> imports;  // as the file names them: imports, then delay-load imports
};
// Never throws for what the bytes hold: a damaged image gives a problem.
// read_image takes programs and DLLs; read_library refuses a program.
library_image read_image(const file_part& part);
library_image read_library(const file_part& part);

// Case-folded, with ".dll" added to a name without extension, as the loader does.
std::string library_key(const std::string& name);
// API sets and the fixed list of DLLs every 64-bit Windows 10 and 11 has.
bool is_system_library(const std::string& name);

struct import_finding {
    std::string name;                     // as the first importer names it
    std::vector<std::string> importers;
    std::string why;
    bool found_nowhere;  // neither shipped nor a system library (else shipped but broken)
};
std::string describe_finding(const import_finding& finding);
// info's words for a finding: for a library found nowhere, the launcher's own
// sentence ("The library X, imported by Y, could not be found.").
std::string describe_finding_for_info(const import_finding& finding);

// Refuses (refused_error) a first entry the launcher's child could not call.
// `label` is how messages name it (the user's own file name, when it differs).
void check_application(const std::vector<app_entry>& entries, const std::string& label);

// --- every image in the payload (payload_images.cpp) -------------------------
struct payload_file {
    std::u16string name;                  // as in the archive
    std::function<library_image()> read;  // its image, read when first needed
};
// A library taken from a search path, placed beside its first importer.
struct added_library {
    std::u16string name;
    fs::path source;
    std::string importers, choice;  // choice: the candidates passed over, or empty
};
struct payload_check {
    std::vector<std::string> unloadable;  // "NAME: why" for images a 64-bit process cannot load
    std::vector<import_finding> findings;
    std::vector<added_library> added;
};
// Checks every Windows image among `files` (found by content; files[0] is
// the application library, named `main_label`): its machine, and each
// import found as the loader finds it, in the importer's own folder, among
// the libraries the application library has loaded, or in Windows. What
// none provides is taken from `search_paths` in their order, transitively,
// and appended to `files`.
payload_check check_payload(std::vector<payload_file>& files, const std::string& main_label,
                            const std::vector<fs::path>& search_paths);
// pack's checks of every image: warnings for what is missing; each library
// the search paths supply goes into `entries` (in archive order) and is
// listed on standard output. Returns ADDED_LIBRARIES_RESOURCE's text.
std::string complete_payload(std::vector<app_entry>& entries, const std::string& main_label,
                             const std::vector<fs::path>& search_paths, std::ostream& warnings);
// Inserts `entry` where scan_app_tree's order puts it.
void insert_in_archive_order(std::vector<app_entry>& entries, const app_entry& entry);
// The resource that lists the additions, for info: RT_RCDATA of this name,
// one line a library: payload name, TAB, importers, TAB, source (UTF-8).
constexpr char16_t ADDED_LIBRARIES_RESOURCE[] = u"ONEFILE_ADDED";

// The run directory's path length for a TEMP of typical length (see path_lengths.cpp).
extern const size_t ASSUMED_TEMP_UNITS, RUN_DIRECTORY_SUFFIX_UNITS, SHELL_DELETE_PATH_LIMIT;
size_t run_directory_path_units(const std::u16string& name);
// One warning per entry over the limit for the first few, then a summary.
void warn_long_paths(const std::vector<app_entry>& entries, std::ostream& warnings);

// --- --run (run_program.cpp) ------------------------------------------------------
// The library that starts the program, beside the stub, and the entry that
// names the program for it: the program's name in the run directory, UTF-8.
constexpr char RUN_LIBRARY_FILE_NAME[] = "onefile-run.dll";
constexpr char16_t RUN_PROGRAM_ENTRY_NAME[] = u".onefile-run";
// Puts the entry naming `program` second in `entries`; refused_error when it
// is not a 64-bit executable among them, or the tree holds the entry's name.
void add_run_program_entry(std::vector<app_entry>& entries, const std::u16string& program);
// "console" or "windows (GUI)" (or what the field holds) for info.
std::string describe_subsystem(uint16_t subsystem);

// --- info (info.cpp) ------------------------------------------------------------
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
// One screen about a packed image; returns how many imports are missing
// (neither in the payload nor a system library).
size_t show_info(const fs::path& image, std::ostream& out);

// --- branding (branding.cpp) ---------------------------------------------------
// Bad branding input: the option and why, one line, exit status 2.
struct option_error : refused_error {
    option_error(const std::string& option, const std::string& why) : refused_error(option + ": " + why) {}
};

// The longest text an option may give, in UTF-16 units: what the launcher's
// branding record holds besides its terminator.
constexpr size_t MAX_BRANDING_TEXT_UNITS = 255;

// What `pack` and `brand` change; an empty field is not given.
struct branding_options {
    fs::path icon, manifest;
    std::u16string product, company, description, copyright, original_filename;
    std::string version;  // "A.B.C" or "A.B.C.D"
    // --no-progress: the launcher shows no progress window. Kept in the
    // branding record alone; the version block stays as it is.
    bool no_progress = false;
    // --run-directory: a template; goes into the record only, so it is not
    // among any(), which rewrites the version block.
    std::u16string run_directory;
    // --console: the image's subsystem field says console; nothing else changes.
    bool console = false;
    bool any() const;
    // Company, product or version: the texts {COMPANY}, {PRODUCT} and
    // {VERSION} give, which only a stub with a branding record can follow.
    bool changes_record() const;
};

// The texts of the launcher's branding record.
struct record_texts {
    std::u16string company, product, version;
};
// Rewrites the stub's resources (`leaves` with their `data`) for `branding`:
// the version block always (starting from the stub's own, or from its record
// when it has none), the icons and the manifest when given. Throws
// option_error for bad input before changing anything. `stub_record` is the
// stub's record, nullptr when it has none. Returns the texts the record must
// now hold: the new block's company and product and its version's three parts.
record_texts apply_branding(const branding_options& branding, const std::u16string& output_name,
                            const record_texts* stub_record, std::vector<resource_leaf>& leaves,
                            std::vector<std::vector<uint8_t>>& data);
// --run-directory (run_directory.cpp): the template with "/" turned into
// "\\", checked against the texts the record will hold; option_error when the
// launcher could not use it. The capacity is the record's, in units.
std::u16string checked_run_directory(const std::u16string& text, const record_texts& texts);
// True for a template with neither {PID} nor {TIME}: a cache.
bool is_cache_template(const std::u16string& path_template);
// The file inside a cache that records its digest (the launcher's name).
constexpr char16_t CACHE_RECORD_FILE_NAME[] = u".onefile-cache";
// info's words: the template, its kind, and whether leftovers are swept.
std::string describe_run_directory(const std::u16string& path_template, const record_texts& texts);

// `brand`: the stub's resources rewritten as `pack` would, without payload.
void brand_stub(const fs::path& stub, const fs::path& output, const branding_options& branding);

}  // namespace pack
