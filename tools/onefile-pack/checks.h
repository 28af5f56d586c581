// pack's checks of the application (app_library.cpp, pe_imports.cpp,
// payload_images.cpp, path_lengths.cpp): the application library the
// child calls, every image in the payload and its imports, the libraries the
// search paths supply, and the paths Windows could not create.
#pragma once
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "app_tree.h"
#include "errors.h"

namespace pack {

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
    // The libraries its exports are forwarded to ("b.fwd_func" gives b.dll),
    // which the loader loads when such an export is imported.
    std::vector<std::string> forwarded_to;
};
// Never throws for what the bytes hold: a damaged image gives a problem.
// read_image takes programs and DLLs; read_library refuses a program.
library_image read_image(const file_part& part);
library_image read_library(const file_part& part);

// Case-folded, with ".dll" added to a name without extension, as the loader does.
std::string library_key(const std::string& name);
// API sets (api-ms-win-*, ext-ms-*), and the libraries every 64-bit Windows
// 10 and 11 has in System32 (windows_libraries.inc, generated).
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
// The folders searched after the given ones unless --no-default-search:
// the runtime folders of the mingw-w64 compiler on PATH, the binary folder
// beside its library folder, and /usr/x86_64-w64-mingw32/bin
// (default_search.cpp).
std::vector<fs::path> default_search_paths();
// pack's checks of every image: warnings for what is missing; each library
// the search paths supply goes into `entries` (in archive order) and is
// listed on standard output. Returns ADDED_LIBRARIES_RESOURCE's text.
std::string complete_payload(std::vector<app_entry>& entries, const std::string& main_label,
                             const std::vector<fs::path>& search_paths, std::ostream& warnings);
// The resource that lists the additions, for info: RT_RCDATA of this name,
// one line a library: payload name, TAB, importers, TAB, source (UTF-8).
constexpr char16_t ADDED_LIBRARIES_RESOURCE[] = u"ONEFILE_ADDED";

// --- paths in the run directory (path_lengths.cpp) ----------------------------
// The run directory's path length for a TEMP of typical length.
extern const size_t ASSUMED_TEMP_UNITS, RUN_DIRECTORY_SUFFIX_UNITS, SHELL_DELETE_PATH_LIMIT;
size_t run_directory_path_units(const std::u16string& name);
// One warning per entry over the limit for the first few, then a summary.
void warn_long_paths(const std::vector<app_entry>& entries, std::ostream& warnings);

}  // namespace pack
