// The launcher stub as the packer rewrites it (stub.cpp, pe_image.cpp):
// read and checked before any output exists, rebranded, and written again
// with a new resource tree and, when packing, the payload as resource 27.
// Internal to the packer's commands.
#pragma once
#include <ostream>
#include <vector>

#include "app_tree.h"
#include "branding.h"
#include "pe_layout.h"

namespace pack {

// The stub read and checked, with its resources, before any output exists.
struct loaded_stub {
    std::vector<uint8_t> image;
    pe::pe_layout layout;
    std::vector<resource_leaf> leaves;
    std::vector<std::vector<uint8_t>> data;
    int brand_section = -1;  // index of the branding record's section
    // File offset of the record's payload digest when its template is a
    // cache's: the archive's SHA-256 goes there. 0 otherwise.
    size_t digest_offset = 0;
};

loaded_stub load_stub(const fs::path& stub);
// Rewrites resources and record for `branding`, if any option is given;
// --run-directory alone changes the record only.
void brand_loaded(loaded_stub& s, const branding_options* branding, const fs::path& output);
// A packed file that keeps the product texts of the launcher as released
// tells its users it is the launcher, not their application.
void warn_stock_texts(const loaded_stub& s, std::ostream& warnings);
// A stub whose record holds a cache's template gets the payload's digest
// there; the digest field is zero until the archive has been written.
void prepare_digest(loaded_stub& s, const std::vector<app_entry>& entries, const fs::path& stub_path);
// Writes `s` with a new resource tree: its resources plus, when `entries`
// is given, the payload as resource 27. `compressed`: the payload's
// compressed form, already written to a file.
void write_image(loaded_stub& s, const std::vector<app_entry>* entries, const fs::path& output, bool progress,
                 const fs::path* compressed = nullptr);

}  // namespace pack
