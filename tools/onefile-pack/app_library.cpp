// The application library as the launcher's child will call it, the
// libraries every Windows has, and how findings about imports are worded.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <fstream>
#include <map>
#include <set>

#include "diagnostics/failure.h"
#include "checks.h"

namespace pack {

namespace {

// The libraries in System32 of every 64-bit Windows 10 and 11, generated
// from sets complete by construction (see scripts/windows-libraries.py).
const char* const WINDOWS_LIBRARIES[] = {
#include "windows_libraries.inc"
};

}  // namespace

std::string library_key(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // The loader adds ".dll" to a name without an extension.
    if (key.find('.') == std::string::npos) key += ".dll";
    return key;
}

bool is_system_library(const std::string& name) {
    std::string key = library_key(name);
    // API sets: names the loader resolves to system libraries itself.
    if (key.rfind("api-ms-win-", 0) == 0 || key.rfind("ext-ms-", 0) == 0) return true;
    auto less = [](const char* a, const std::string& b) { return b.compare(a) > 0; };
    const char* const* end = std::end(WINDOWS_LIBRARIES);
    const char* const* found = std::lower_bound(std::begin(WINDOWS_LIBRARIES), end, key, less);
    return found != end && key == *found;
}


namespace {
std::string importer_list(const import_finding& finding) {
    std::string importers;
    for (const std::string& importer : finding.importers) importers += (importers.empty() ? "" : ", ") + importer;
    return importers;
}
}  // namespace

std::string describe_finding(const import_finding& finding) {
    return finding.name + " (imported by " + importer_list(finding) + ") " + finding.why;
}

std::string describe_finding_for_info(const import_finding& finding) {
    if (!finding.found_nowhere) return describe_finding(finding);
    std::string importers = importer_list(finding);
    std::vector<char> sentence(sizeof FORMAT_MISSING_IMPORT + finding.name.size() + importers.size());
    std::snprintf(sentence.data(), sentence.size(), FORMAT_MISSING_IMPORT, finding.name.c_str(), importers.c_str());
    return sentence.data();
}

void check_application(const std::vector<app_entry>& entries, const std::string& label) {
    const app_entry& first = entries.front();
    std::ifstream in(first.source, std::ios::binary);
    std::error_code error;
    file_part part{&in, 0, fs::file_size(first.source, error)};
    if (!in || error) throw pack_error("cannot read " + first.source.string());
    library_image library = read_library(part);
    if (library.problem.empty() && !library.exports_run_code) {
        // The child looks run_code up by name: a C++ function without
        // extern "C" is exported under its decorated name only.
        library.problem = "does not export run_code by name; declare it extern \"C\" "
                          "__declspec(dllexport) int run_code(int argc, wchar_t** argv)";
        library.never_loads = true;
    }
    if (!library.problem.empty())
        throw refused_error(label + " cannot be the application library: " + library.problem +
                            (library.never_loads ? "" : " (--no-check packs it anyway)"));
}

}  // namespace pack
