// Run-directory templates judged as text: the packer's check, the kind, and
// the sweep's name pattern. Platform-free; the expansion itself is
// path_template.cpp's.
#include "platform/run_directory_template.h"

namespace {

constexpr size_t MAX_TOKENS = 1024;

enum class item { unit, separator, temp, home, cache_dir, program, pid, time, company, product, version };

struct token {
    item what;
    u16 unit;  // for item::unit
};

struct named_item {
    const char* name;
    item what;
};

// The expansion's names (path_template.cpp), compared as it compares them.
constexpr named_item NAMES[] = {
    {"TEMP", item::temp},          {"PROGRAM", item::program}, {"PROGRAM_BASE", item::program},
    {"PROGRAM_DIR", item::program}, {"PID", item::pid},         {"HOME", item::home},
    {"CACHE_DIR", item::cache_dir}, {"COMPANY", item::company}, {"PRODUCT", item::product},
    {"VERSION", item::version},     {"TIME", item::time},
};

u16 fold_ascii(u16 unit) {
    return (unit >= U16('A') && unit <= U16('Z')) ? static_cast<u16>(unit + (U16('a') - U16('A')))
                                                  : unit;
}

bool name_is(const u16* name, size_t length, const char* wanted) {
    size_t index = 0;
    for (; index < length; ++index) {
        if (wanted[index] == 0) return false;
        u16 unit = static_cast<u16>(static_cast<unsigned char>(wanted[index]));
        if (fold_ascii(name[index]) != fold_ascii(unit)) return false;
    }
    return wanted[index] == 0;
}

bool is_digit(u16 unit) { return unit >= U16('0') && unit <= U16('9'); }
bool is_folder(item what) { return what == item::temp || what == item::home || what == item::cache_dir; }

struct tokens {
    token at[MAX_TOKENS];
    size_t count;
};

// The template as literal units, separators and placeholders.
const char* split_template(const u16* path_template, tokens& out) {
    out.count = 0;
    for (const u16* at = path_template; *at != 0; ++at) {
        if (out.count == MAX_TOKENS) return "is too long";
        if (*at == U16('}')) return "has a '}' that closes no placeholder";
        if (*at != U16('{')) {
            out.at[out.count++] = {*at == U16('\\') ? item::separator : item::unit, *at};
            continue;
        }
        const u16* name = ++at;
        while (*at != 0 && *at != U16('}') && *at != U16('{')) ++at;
        if (*at != U16('}')) return "has a '{' that no '}' closes";
        const named_item* found = nullptr;
        for (const named_item& candidate : NAMES)
            if (name_is(name, static_cast<size_t>(at - name), candidate.name)) found = &candidate;
        if (found == nullptr) return "names a placeholder the launcher does not know";
        out.at[out.count++] = {found->what, 0};
    }
    return nullptr;
}

size_t text_length(const u16* text) { return text == nullptr ? 0 : u16_length(text); }

size_t longest_units(const token& one, const template_texts& texts) {
    switch (one.what) {
    case item::temp: case item::home: case item::cache_dir: return LONGEST_FOLDER_UNITS;
    case item::pid: return LONGEST_PROCESS_ID_UNITS;
    case item::time: return LONGEST_TIME_UNITS;
    case item::company: return text_length(texts.company);
    case item::product: return text_length(texts.product);
    case item::version: return text_length(texts.version);
    default: return 1;
    }
}

// Units Windows does not take in a name (a colon only after a drive letter).
bool is_refused_unit(u16 unit) {
    if (unit < 0x20) return true;
    for (const char* refused = "<>:\"/|?*"; *refused != 0; ++refused)
        if (unit == static_cast<u16>(*refused)) return true;
    return false;
}

// Where the absolute start ends (the index of its separator), or false.
bool absolute_start(const tokens& all, size_t& separator) {
    const token* t = all.at;
    if (all.count >= 1 && is_folder(t[0].what)) {
        separator = 1;
        return true;
    }
    bool letter = all.count >= 2 && t[0].what == item::unit && t[1].what == item::unit &&
                  ((t[0].unit | 0x20) >= U16('a') && (t[0].unit | 0x20) <= U16('z')) &&
                  t[1].unit == U16(':');
    if (letter) {
        separator = 2;
        return all.count > 2 && t[2].what == item::separator;
    }
    // A share: \\server\share, then the separator before the first own name.
    if (all.count >= 2 && t[0].what == item::separator && t[1].what == item::separator) {
        int names = 0;
        size_t index = 2;
        for (; index < all.count && names < 2; ++index) {
            size_t begin = index;
            while (index < all.count && t[index].what == item::unit &&
                   !is_refused_unit(t[index].unit))
                ++index;
            if (index == begin || index == all.count || t[index].what != item::separator) return false;
            ++names;
        }
        separator = index - 1;
        return names == 2;
    }
    return false;
}

// One component [begin, end): not empty, not "." or "..", no folder or
// {PROGRAM...} placeholder, no unit Windows refuses, no dot or blank last.
const char* component_problem(const tokens& all, size_t begin, size_t end) {
    if (begin == end) return "has an empty component (two backslashes, or one at the end)";
    bool dots_only = true;
    for (size_t index = begin; index < end; ++index) {
        const token& one = all.at[index];
        if (is_folder(one.what)) return "places {TEMP}, {HOME} or {CACHE_DIR} after its start";
        if (one.what == item::program)
            return "uses {PROGRAM}, {PROGRAM_BASE} or {PROGRAM_DIR}, which differ between the "
                   "launcher's two processes";
        if (one.what != item::unit) {
            dots_only = false;
            continue;
        }
        if (is_refused_unit(one.unit)) return "holds a character Windows refuses in names";
        if (one.unit != U16('.')) dots_only = false;
    }
    if (dots_only && end - begin <= 2) return "has a '.' or '..' component";
    const token& last = all.at[end - 1];
    if (last.what == item::unit && (last.unit == U16('.') || last.unit == U16(' ')))
        return "has a component ending in a dot or a blank, which Windows drops";
    return nullptr;
}

// Folders a profile, a drive or Windows itself has, whatever the
// application: a cache's last component must never be one of them.
constexpr const char* SHARED_FOLDER_NAMES[] = {
    "Documents", "My Documents", "Desktop", "Downloads", "Music", "Pictures", "Videos",
    "Favorites", "Links", "Contacts", "Searches", "Saved Games", "OneDrive", "3D Objects",
    "AppData", "Local", "LocalLow", "Roaming", "Application Data", "Local Settings", "Temp",
    "Tmp", "Programs", "Microsoft", "Windows", "Start Menu", "Startup", "Users", "Public",
    "Program Files", "Program Files (x86)", "ProgramData", "System32", "Packages", "Fonts",
};

// True when [begin, end) is literal text naming one of those folders.
bool is_shared_folder(const tokens& all, size_t begin, size_t end) {
    u16 name[64];
    size_t length = 0;
    for (size_t index = begin; index < end; ++index) {
        if (all.at[index].what != item::unit || length + 1 >= 64) return false;
        name[length++] = all.at[index].unit;
    }
    for (const char* shared : SHARED_FOLDER_NAMES)
        if (name_is(name, length, shared)) return true;
    return false;
}

bool append_text(u16* part, size_t& length, const u16* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (length + 1 >= NAME_PART_CAPACITY) return false;
        part[length++] = *text;
    }
    part[length] = 0;
    return true;
}

bool read_number(const u16*& at, uint64_t limit, uint64_t& value) {
    if (!is_digit(*at)) return false;
    value = 0;
    for (; is_digit(*at); ++at) {
        uint64_t digit = static_cast<uint64_t>(*at - U16('0'));
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool skip_text(const u16*& at, const u16* text) {
    for (; *text != 0; ++text, ++at)
        if (*at != *text) return false;
    return true;
}

}  // namespace

const char* run_directory_template_problem(const u16* path_template, const template_texts& texts,
                                           size_t capacity, size_t expansion_capacity) {
    if (u16_length(path_template) + 1 > capacity) return "is longer than the launcher's record holds";
    tokens all;
    if (const char* problem = split_template(path_template, all)) return problem;
    size_t separator = 0;
    if (!absolute_start(all, separator))
        return "does not start with {TEMP}, {HOME}, {CACHE_DIR}, a drive (X:\\) or a share (\\\\)";
    if (separator + 1 >= all.count) return "names no directory below its start";
    size_t begin = separator + 1;
    size_t components = 0, last_begin = begin;
    for (size_t index = begin; index <= all.count; ++index) {
        if (index < all.count && all.at[index].what != item::separator) continue;
        if (const char* problem = component_problem(all, begin, index)) return problem;
        ++components;
        last_begin = begin;
        begin = index + 1;
    }
    // A cache's folder is replaced whole when it is stale: it must be one of
    // the application's own, never a folder the user keeps things in.
    if (run_directory_template_kind(path_template) == run_directory_kind::cache) {
        if (is_shared_folder(all, last_begin, all.count))
            return "is a cache that would be a folder of the user's own; end it with a folder of "
                   "the application's own, such as ...\\{PRODUCT}";
        bool profile_or_drive = all.at[0].what == item::home || all.at[0].what == item::unit ||
                                all.at[0].what == item::separator;
        if (profile_or_drive && components < 2)
            return "is a cache directly in the profile or at a drive's top, where the user's own "
                   "folders are; put it in a folder of its own below, such as "
                   "{HOME}\\.{COMPANY}\\{PRODUCT}";
    }
    int process_ids = 0, times = 0;
    size_t longest = 0;
    for (size_t index = 0; index < all.count; ++index) {
        process_ids += all.at[index].what == item::pid;
        times += all.at[index].what == item::time;
        longest += longest_units(all.at[index], texts);
    }
    if (process_ids > 1 || times > 1) return "uses {PID} or {TIME} more than once";
    if (process_ids == 1 && times == 0)
        return "uses {PID} without {TIME}: a process id alone is reused by later starts";
    if (longest + 1 + RUN_DIRECTORY_SUFFIX_ROOM > expansion_capacity)
        return "could expand to a path longer than the launcher's run directory holds";
    return nullptr;
}

run_directory_kind run_directory_template_kind(const u16* path_template) {
    tokens all;
    split_template(path_template, all);
    for (size_t index = 0; index < all.count; ++index)
        if (all.at[index].what == item::time) return run_directory_kind::per_start;
    return run_directory_kind::cache;
}

const char* make_run_directory_pattern(const u16* path_template, const template_texts& texts,
                                       run_directory_pattern& pattern) {
    tokens all;
    if (const char* problem = split_template(path_template, all)) return problem;
    size_t last_separator = all.count;
    for (size_t index = 0; index < all.count; ++index)
        if (all.at[index].what == item::separator) last_separator = index;
    if (last_separator == all.count) return "has no folder above the run directory";
    for (size_t index = 0; index < last_separator; ++index)
        if (all.at[index].what == item::pid || all.at[index].what == item::time)
            return "puts {PID} or {TIME} in the folder above the run directory, so each start "
                   "has a folder of its own";
    u16* parts[3] = {pattern.prefix, pattern.middle, pattern.suffix};
    size_t lengths[3] = {0, 0, 0};
    for (u16* part : parts) part[0] = 0;
    int part = 0;
    bool seen_pid = false, seen_time = false;
    for (size_t index = last_separator + 1; index < all.count; ++index) {
        const token& one = all.at[index];
        const u16* text = nullptr;
        u16 unit[2] = {one.unit, 0};
        switch (one.what) {
        case item::pid:
        case item::time:
            if (part == 2) return "uses {PID} or {TIME} more than once";
            if (part == 0) pattern.process_id_first = one.what == item::pid;
            (one.what == item::pid ? seen_pid : seen_time) = true;
            ++part;
            continue;
        case item::unit: text = unit; break;
        case item::company: text = texts.company; break;
        case item::product: text = texts.product; break;
        case item::version: text = texts.version; break;
        default: return "gives the run directory's own name from a folder placeholder";
        }
        for (const u16* at = text; at != nullptr && *at != 0; ++at)
            if (*at == U16('\\') || *at == U16('/') || *at == U16(':'))
                return "has a product text with a path separator in the run directory's own name";
        if (!append_text(parts[part], lengths[part], text)) return "has too long a name";
    }
    if (!seen_pid || !seen_time)
        return "lacks {PID} or {TIME} in the run directory's own name, so its owner cannot be told";
    if (lengths[1] == 0 || is_digit(pattern.middle[0]) || is_digit(pattern.suffix[0]))
        return "lets digits follow {PID} or {TIME}, so where the number ends would be a guess";
    return nullptr;
}

bool match_run_directory_name(const run_directory_pattern& pattern, const u16* name,
                              matched_run_directory_name& matched) {
    const u16* at = name;
    uint64_t first = 0, second = 0;
    uint64_t first_limit = pattern.process_id_first ? UINT32_MAX : INT64_MAX;
    uint64_t second_limit = pattern.process_id_first ? INT64_MAX : UINT32_MAX;
    if (!skip_text(at, pattern.prefix) || !read_number(at, first_limit, first) ||
        !skip_text(at, pattern.middle) || !read_number(at, second_limit, second) ||
        !skip_text(at, pattern.suffix))
        return false;
    matched.parent = static_cast<uint32_t>(pattern.process_id_first ? first : second);
    matched.start = pattern.process_id_first ? second : first;
    matched.base_length = static_cast<size_t>(at - name);
    matched.rest = at;
    return true;
}
