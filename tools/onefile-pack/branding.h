// Branding (branding.cpp, run_directory.cpp): the options of `pack` and
// `brand` that rewrite the stub's version block, icons, manifest and
// branding record, checked before anything changes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "errors.h"
#include "app_tree.h"
#include "format/shared_names.h"
#include "pe_image.h"

namespace pack {

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
// A text of the branding record at `at` of `bytes`: up to its terminator,
// at most `capacity` units (stub.cpp).
std::u16string record_text(const std::vector<uint8_t>& bytes, size_t at, size_t capacity);

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
// A cache build's stamp (build_stamp.cpp), which tells the launcher the newer
// of two builds of one version: SOURCE_DATE_EPOCH when set, else the newest
// last write of the stub and the packed files, as a FILETIME count. Never
// the clock: the same inputs pack to the same bytes.
uint64_t build_stamp(const fs::path& stub, const std::vector<app_entry>& entries);
// The stamp as info shows it: "2026-12-09 14:03:07 UTC".
std::string describe_build_stamp(uint64_t stamp);
// The file inside a cache that records its digest (the launcher's name).
inline const std::u16string CACHE_RECORD_FILE_NAME(in_units<char16_t>(CACHE_RECORD_ENTRY));
// info's words: the template, its kind, and whether leftovers are swept.
std::string describe_run_directory(const std::u16string& path_template, const record_texts& texts);

}  // namespace pack
