// --run-directory: the template the launcher expands for its run directory,
// checked before it goes into the stub's record, and described for `info`.
// The rules are the launcher's own (platform/run_directory_template.cpp).
#include "branding.h"
#include "names.h"
#include "format/branding_record.h"
#include "platform/bounded_buffer.h"
#include "platform/run_directory_template.h"

namespace pack {

namespace {

// u16 is wchar_t in a Windows build of the packer, char16_t elsewhere.
std::basic_string<u16> as_units(const std::u16string& text) {
    return std::basic_string<u16>(text.begin(), text.end());
}

struct unit_texts {
    std::basic_string<u16> company, product, version;
    template_texts view() const { return {company.c_str(), product.c_str(), version.c_str()}; }
};

unit_texts units_of(const record_texts& texts) {
    return {as_units(texts.company), as_units(texts.product), as_units(texts.version)};
}

}  // namespace

std::u16string checked_run_directory(const std::u16string& text, const record_texts& texts) {
    // "/" is a separator to Windows but not to the launcher, which splits
    // the run directory at backslashes; CMake and shells prefer it.
    std::u16string normal = text;
    for (char16_t& unit : normal)
        if (unit == u'/') unit = u'\\';
    // The launcher expands no %VARIABLE%; say which placeholder does.
    size_t open = normal.find(u'%'), close = normal.find(u'%', open + 1);
    if (close != std::u16string::npos) {
        std::string name = to_utf8(fold_case(normal.substr(open + 1, close - open - 1)));
        const char* use = name == "LOCALAPPDATA" ? "{CACHE_DIR}" : name == "TEMP" || name == "TMP" ? "{TEMP}"
                        : name == "USERPROFILE"  ? "{HOME}"      : "{TEMP}, {HOME} or {CACHE_DIR}";
        throw option_error("--run-directory", "'" + to_utf8(text) + "' names %" + name + "%, which the launcher does not expand; use " + use);
    }
    unit_texts units = units_of(texts);
    std::basic_string<u16> stored = as_units(normal);
    if (const char* problem = run_directory_template_problem(
            stored.c_str(), units.view(), RUN_DIRECTORY_TEMPLATE_CAPACITY, RUN_DIRECTORY_CAPACITY))
        throw option_error("--run-directory", "'" + to_utf8(text) + "' " + problem);
    return normal;
}

bool is_cache_template(const std::u16string& path_template) {
    return run_directory_template_kind(as_units(path_template).c_str()) == run_directory_kind::cache;
}

std::string describe_run_directory(const std::u16string& path_template, const record_texts& texts) {
    unit_texts units = units_of(texts);
    std::basic_string<u16> stored = as_units(path_template);
    std::string shown = to_utf8(path_template);
    if (run_directory_template_kind(stored.c_str()) == run_directory_kind::cache)
        return shown + " (cache: unpacked once, reused while the payload's digest is the same; "
                       "a folder there that is not this application's cache is left alone, and "
                       "starts then run from {TEMP})";
    run_directory_pattern pattern;
    const char* why = make_run_directory_pattern(stored.c_str(), units.view(), pattern);
    if (why != nullptr) return shown + " (per start; leftovers are not swept: the template " + why + ")";
    return shown + " (per start; leftovers whose lock file names them are swept)";
}

}  // namespace pack
