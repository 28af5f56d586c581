// Path template expansion: one pass over the template, placeholders looked up
// in a fixed table. Platform-free; every platform value comes through
// `template_sources`.
#include "platform/path_template.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "format/branding_record.h"
#include "platform/bounded_buffer.h"
#include "platform/end_abnormally.h"
#include "platform/environment.h"

namespace {

// The names the expansion gathers between braces, with their terminator.
constexpr size_t PLACEHOLDER_NAME_CAPACITY = 1024;
constexpr size_t PROCESS_ID_SCRATCH_SIZE = 128;
constexpr size_t TIME_SCRATCH_SIZE = 21;  // a sign, 19 digits, the terminator
constexpr u16 PROGRAM_TEMPLATE[] = U16("{PROGRAM}");
constexpr u16 EXE_SUFFIX[] = U16(".exe");
constexpr size_t EXE_SUFFIX_LENGTH = 4;

enum class placeholder {
    temp, program, program_base, program_dir, pid, home, cache_dir,
    company, product, version, time, none
};

struct placeholder_row {
    const char* name;
    placeholder which;
    bool strip_trailing_backslashes;
};

// Tried in this order; the first match wins.
constexpr placeholder_row PLACEHOLDERS[] = {
    {"TEMP", placeholder::temp, true},
    {"PROGRAM", placeholder::program, false},
    {"PROGRAM_BASE", placeholder::program_base, false},
    {"PROGRAM_DIR", placeholder::program_dir, false},
    {"PID", placeholder::pid, false},
    {"HOME", placeholder::home, true},
    {"CACHE_DIR", placeholder::cache_dir, true},
    {"COMPANY", placeholder::company, false},
    {"PRODUCT", placeholder::product, false},
    {"VERSION", placeholder::version, false},
    {"TIME", placeholder::time, false},
};

// Folds A to Z only, as the runtime's case-insensitive comparison does in
// the default locale.
u16 fold_ascii(u16 unit) {
    return (unit >= U16('A') && unit <= U16('Z')) ? static_cast<u16>(unit + (U16('a') - U16('A')))
                                                  : unit;
}

bool name_matches(const u16* name, const char* row_name) {
    for (;; ++name, ++row_name) {
        u16 row_unit = static_cast<u16>(static_cast<unsigned char>(*row_name));
        if (fold_ascii(*name) != fold_ascii(row_unit)) return false;
        if (*name == 0) return true;
    }
}

const placeholder_row* find_placeholder(const u16* name) {
    for (const placeholder_row& row : PLACEHOLDERS) {
        if (name_matches(name, row.name)) return &row;
    }
    return nullptr;
}

bool is_decimal_digit(u16 unit) { return unit >= U16('0') && unit <= U16('9'); }

// The output's text may have grown behind the bounded buffer's back (the
// temporary path is written in place, nested expansions write directly);
// this takes the text as it now stands.
void resync(bounded_buffer& output) {
    output = bounded_buffer::existing(output.units, output.capacity);
}

// False when no temporary path was written: a run directory without its
// base would land wherever the current directory happens to be.
bool append_temp(const template_sources& sources, bounded_buffer& output) {
    size_t start = output.length;
    sources.write_temp_path(output.units + start, output.capacity - start);
    resync(output);
    return output.length > start;
}

void append_program(const template_sources& sources, bounded_buffer& output) {
    const u16* program = sources.program();
    if (program == nullptr) end_abnormally();
    output.append(program);
}

// Expands "{PROGRAM}" after the current text; returns the length before it.
bool append_nested_program(const template_sources& sources, bounded_buffer& output,
                           size_t& start) {
    start = output.length;
    bool expanded = expand_path_template(sources, output.units + start, PROGRAM_TEMPLATE,
                                         output.capacity - start);
    resync(output);
    return expanded;
}

bool append_program_base(const template_sources& sources, bounded_buffer& output) {
    size_t start = 0;
    if (!append_nested_program(sources, output, start)) return false;
    if (output.length - start < EXE_SUFFIX_LENGTH) return true;
    size_t suffix_start = output.length - EXE_SUFFIX_LENGTH;
    for (size_t i = 0; i < EXE_SUFFIX_LENGTH; ++i) {
        if (fold_ascii(output.units[suffix_start + i]) != EXE_SUFFIX[i]) return true;
    }
    output.truncate(suffix_start);
    return true;
}

bool append_program_dir(const template_sources& sources, bounded_buffer& output) {
    size_t start = 0;
    if (!append_nested_program(sources, output, start)) return false;
    for (size_t i = output.length; i > start; --i) {
        if (output.units[i - 1] == U16('\\')) {
            output.truncate(i - 1);
            break;
        }
    }
    return true;
}

void append_pid(const template_sources& sources, bounded_buffer& output) {
    if (u16* parent = sources.get_env(PARENT_VARIABLE)) {
        // The text names a directory both processes must agree on, and the
        // parent only ever writes plain decimal digits.
        if (parent[0] == 0) end_abnormally();
        for (const u16* unit = parent; *unit != 0; ++unit) {
            if (!is_decimal_digit(*unit)) end_abnormally();
        }
        output.append(parent);
        std::free(parent);
        return;
    }
    char digits[PROCESS_ID_SCRATCH_SIZE];
    std::snprintf(digits, sizeof digits, "%ld", static_cast<long>(static_cast<int32_t>(
                                                    sources.current_process_id())));
    output.append_widened(digits);
}

// The start time names the run directory, which the parent fills and later
// deletes with everything in it. The parent only ever writes decimal digits;
// any other text (a "..\.." from a stray environment) would move that
// directory, and its deletion, out of the temporary folder.
bool is_start_time(const u16* text) {
    if (text[0] == 0) return false;
    for (; *text != 0; ++text) {
        if (!is_decimal_digit(*text)) return false;
    }
    return true;
}

void append_time(const template_sources& sources, bounded_buffer& output) {
    if (u16* start_time = sources.get_env(START_VARIABLE)) {
        bool usable = is_start_time(start_time);
        if (usable) output.append(start_time);
        std::free(start_time);
        if (usable) return;
        // Not ours: take a fresh time and replace the variable, as if absent.
    }
    char digits[TIME_SCRATCH_SIZE];
    std::snprintf(digits, sizeof digits, "%" PRId64, sources.system_time());
    u16 text[TIME_SCRATCH_SIZE];
    for (size_t i = 0; i < TIME_SCRATCH_SIZE; ++i) {
        text[i] = static_cast<u16>(static_cast<unsigned char>(digits[i]));
        if (digits[i] == 0) break;
    }
    // Later expansions in this process and in the child read it back, so the
    // run directory comes out the same everywhere.
    sources.set_env(START_VARIABLE, text);
    output.append(text);
}

bool run_placeholder(const template_sources& sources, bounded_buffer& output,
                     placeholder which) {
    switch (which) {
    case placeholder::temp: return append_temp(sources, output);
    case placeholder::program: append_program(sources, output); return true;
    case placeholder::program_base: return append_program_base(sources, output);
    case placeholder::program_dir: return append_program_dir(sources, output);
    case placeholder::pid: append_pid(sources, output); return true;
    case placeholder::home:
    case placeholder::cache_dir: {
        int folder = which == placeholder::home ? FOLDER_PROFILE : FOLDER_LOCAL_APPDATA;
        bool found = append_known_folder(sources, output.units, folder, output.capacity);
        resync(output);
        return found;
    }
    // The texts of the image's own version block (see branding.cpp).
    case placeholder::company: output.append(launcher_branding.company); return true;
    case placeholder::product: output.append(launcher_branding.product); return true;
    case placeholder::version: output.append(launcher_branding.version); return true;
    case placeholder::time: append_time(sources, output); return true;
    case placeholder::none: break;
    }
    return false;
}

// Looks at the whole output, not only at what the placeholder appended.
void strip_trailing_backslashes(bounded_buffer& output) {
    while (output.length > 0 && output.units[output.length - 1] == U16('\\')) {
        output.truncate(output.length - 1);
    }
}

}  // namespace

bool append_known_folder(const template_sources& sources, u16* output, int folder_id,
                         size_t capacity) {
    u16 folder[KNOWN_FOLDER_CAPACITY];
    folder[0] = 0;
    if (!sources.known_folder(folder_id, folder)) return false;
    bounded_buffer text = bounded_buffer::existing(folder, KNOWN_FOLDER_CAPACITY);
    bounded_buffer::existing(output, capacity).append(text.units, text.length);
    return true;
}

bool expand_path_template(const template_sources& sources, u16* output,
                          const u16* path_template, size_t capacity) {
    bounded_buffer out = bounded_buffer::cleared(output, capacity);
    u16 name[PLACEHOLDER_NAME_CAPACITY];
    bool gathering = false;
    bool name_too_long = false;
    size_t name_length = 0;
    for (const u16* at = path_template; *at != 0; ++at) {
        u16 unit = *at;
        if (unit == U16('{')) {
            gathering = true;  // a partial name before it is dropped
            name_too_long = false;
            name_length = 0;
        } else if (unit == U16('}')) {
            // A template can never write a brace, so a stray "}" is a mistake
            // in the template rather than text to copy.
            if (!gathering) return false;
            gathering = false;
            // Longer than any name in the table: it can match nothing.
            if (name_too_long) return false;
            name[name_length] = 0;
            const placeholder_row* row = find_placeholder(name);
            if (row == nullptr) return false;
            if (!run_placeholder(sources, out, row->which)) return false;
            if (row->strip_trailing_backslashes) strip_trailing_backslashes(out);
        } else if (gathering) {
            if (name_length + 1 < PLACEHOLDER_NAME_CAPACITY) {
                name[name_length++] = unit;
            } else {
                name_too_long = true;
            }
        } else {
            if (!out.has_room_for(1)) return false;
            out.append_unit(unit);
        }
    }
    // A placeholder still open here is dropped without being looked up.
    return true;
}
