// The commands main.cpp runs (commands.cpp, info.cpp): pack, brand,
// archive, list, extract and info, and the options they share.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "branding.h"
#include "errors.h"

namespace pack {

// zstd levels; 3 (zstd's own default) makes real PE files 0.29 of their size
// at a third of level 6's time, which saves 5 % more (bench/README.md).
constexpr int DEFAULT_COMPRESSION_LEVEL = 3, MIN_COMPRESSION_LEVEL = 1, MAX_COMPRESSION_LEVEL = 19;
// --compress=max: the solid form, blocks that span files at level 19, for
// release builds (packing takes about as long as xz -6 -T2).
constexpr int SOLID_COMPRESSION = 100;
// option_error unless 1..19 or "max" (SOLID_COMPRESSION)
int checked_compression_level(const std::string& text);
// "compressed to P bytes (0.293 of it)": list's and info's words.
std::string describe_compression(uint64_t packed, uint64_t size);

struct pack_options {
    fs::path app_dir, output, stub;
    std::u16string main_name = u"main.dll";
    bool progress = false;
    bool check = true;  // --no-check clears it: the application library and path checks
    bool strict = false;  // --strict: a warning of the checks refuses the pack
    fs::path main_file;   // --main-file: the application library, from outside APP_DIR
    std::vector<fs::path> search_paths;  // --search-path: where missing libraries are taken from
    bool default_search = true;  // --no-default-search clears it: default_search_paths() after them
    const branding_options* branding = nullptr;  // icons, texts, manifest; nullptr: none
    std::u16string run_program;  // --run: the program the run library starts (run_program.h)
    int compress = 0;  // --compress[=LEVEL|max]: the zstd level or SOLID_COMPRESSION; 0 stores
};
void pack_image(const pack_options& options);
// `brand`: the stub's resources rewritten as `pack` would, without payload.
void brand_stub(const fs::path& stub, const fs::path& output, const branding_options& branding);
// `archive`: the bare payload archive.
void write_bare_archive(const fs::path& app_dir, const std::u16string& main_name,
                        const fs::path& output, bool progress, int compress = 0);
// One line per entry, size TAB name; then a summary line.
void list_payload(const fs::path& image, std::ostream& out);
// Refuses (before writing anything) where a file exists unless `force`.
void extract_payload(const fs::path& image, const fs::path& directory, bool force = false);
// One screen about a packed image; returns how many imports are missing
// (neither in the payload nor a system library).
size_t show_info(const fs::path& image, std::ostream& out);

}  // namespace pack
