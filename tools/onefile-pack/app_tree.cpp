// The application tree in archive order, with every name checked before a
// byte is written.
#include <algorithm>
#include <map>
#include <set>

#include "app_tree.h"
#include "names.h"

namespace pack {

namespace {

std::u16string component_of(const fs::path& file_name) {
#ifdef _WIN32
    std::wstring wide = file_name.wstring();
    return std::u16string(wide.begin(), wide.end());
#else
    return from_utf8(file_name.string());
#endif
}

struct directory_listing {
    std::vector<std::pair<std::u16string, fs::path>> files, directories;
};

// The kinds of file the archive can carry, following links to files; what
// it cannot carry goes to `problems`, one line each.
directory_listing list_directory(const fs::path& directory, std::vector<std::string>& problems) {
    directory_listing listing;
    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error) throw pack_error("cannot read directory " + directory.string() + ": " + error.message());
    for (const fs::directory_entry& entry : it) {
        const fs::path& path = entry.path();
        std::u16string component = component_of(path.filename());
        std::string problem = component_problem(component);
        if (!problem.empty()) {
            problems.push_back(problem + ": " + path.string());
            continue;
        }
        fs::file_status own = fs::symlink_status(path, error);
        if (error) throw pack_error("cannot read " + path.string() + ": " + error.message());
        fs::file_status target = own;
        if (fs::is_symlink(own)) {
            target = fs::status(path, error);
            if (error || !fs::exists(target)) {
                problems.push_back("symbolic link points nowhere: " + path.string());
                continue;
            }
            if (fs::is_directory(target)) {
                problems.push_back("symbolic link to a directory is not packed: " + path.string());
                continue;
            }
        }
        if (fs::is_regular_file(target)) listing.files.emplace_back(component, path);
        else if (fs::is_directory(target)) listing.directories.emplace_back(component, path);
        else problems.push_back("not a regular file or directory: " + path.string());
    }
    auto by_units = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(listing.files.begin(), listing.files.end(), by_units);
    std::sort(listing.directories.begin(), listing.directories.end(), by_units);
    return listing;
}

uint64_t size_of(const fs::path& path) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    if (error) throw pack_error("cannot read " + path.string() + ": " + error.message());
    return size;
}

void add_directory(const fs::path& directory, const std::u16string& prefix,
                   std::vector<app_entry>& entries, std::vector<std::string>& problems) {
    directory_listing listing = list_directory(directory, problems);
    for (auto& [component, path] : listing.files)
        entries.push_back({prefix + component, path, size_of(path), {}});
    for (auto& [component, path] : listing.directories)
        add_directory(path, prefix + component + u"\\", entries, problems);
}

// Every problem of the tree in one refusal, one line each: a user with a
// hundred links to folders learns of them in one run, not in a hundred.
void refuse_all(const std::vector<std::string>& problems) {
    if (problems.empty()) return;
    std::string lines;
    for (const std::string& problem : problems) lines += (lines.empty() ? "" : "\n") + problem;
    throw refused_error(lines);
}

// Names must stay distinct on a case-insensitive volume, also where a
// file would take the place of a directory another name needs.
void entry_name_problems(const std::vector<app_entry>& entries, std::vector<std::string>& problems) {
    std::map<std::u16string, const app_entry*> files;
    std::set<std::u16string> directories;
    for (const app_entry& entry : entries) {
        if (entry.name.size() > MAX_NAME_UNITS)
            problems.push_back("name longer than 1023 UTF-16 units: " + to_utf8(entry.name));
        // A folder's own components were checked as it was read, with their
        // path; a name made otherwise (an added library) is checked here.
        for (size_t start = 0, cut = 0; cut != std::u16string::npos; start = cut + 1) {
            cut = entry.name.find(u'\\', start);
            std::string problem = component_problem(entry.name.substr(start, cut == std::u16string::npos ? cut : cut - start));
            if (!problem.empty()) problems.push_back(problem + ": " + to_utf8(entry.name));
        }
        std::u16string folded = fold_case(entry.name);
        auto [it, inserted] = files.emplace(folded, &entry);
        if (!inserted)
            problems.push_back("names differ only in case: " + to_utf8(it->second->name) + " and " + to_utf8(entry.name));
        for (size_t cut = folded.find(u'\\'); cut != std::u16string::npos; cut = folded.find(u'\\', cut + 1))
            directories.insert(folded.substr(0, cut));
    }
    for (const app_entry& entry : entries) {
        if (directories.count(fold_case(entry.name)))
            problems.push_back("file and directory names differ only in case: " + to_utf8(entry.name));
    }
}

}  // namespace

std::vector<app_entry> scan_app_tree(const fs::path& app_dir, const std::u16string& main_name,
                                     const fs::path& main_source) {
    std::error_code error;
    if (!fs::is_directory(app_dir, error))
        throw refused_error("application directory not found: " + app_dir.string());
    std::string main_problem = component_problem(main_name);
    if (!main_problem.empty())
        throw refused_error("main entry must be a file name at the top level (" + main_problem + "): " + to_utf8(main_name));

    std::vector<app_entry> scanned;
    if (!main_source.empty()) {
        if (!fs::is_regular_file(main_source, error))
            throw refused_error("--main-file " + main_source.string() + " is not a file");
        scanned.push_back({main_name, main_source, size_of(main_source), {}});
    }
    std::vector<std::string> problems;
    add_directory(app_dir, u"", scanned, problems);
    if (!main_source.empty()) {
        for (size_t i = 1; i < scanned.size(); ++i)
            if (fold_case(scanned[i].name) == fold_case(main_name))
                problems.push_back(to_utf8(main_name) + " is both --main-file " + main_source.string() +
                                   " and a file at the top of " + app_dir.string());
    }

    std::vector<app_entry> entries;
    entries.reserve(scanned.size());
    for (app_entry& entry : scanned) {
        if (entry.name == main_name) entries.insert(entries.begin(), entry);
        else entries.push_back(entry);
    }
    if (entries.empty() || entries.front().name != main_name)
        problems.push_back("main entry " + to_utf8(main_name) + " not found at the top of " + app_dir.string());
    entry_name_problems(entries, problems);
    refuse_all(problems);
    return entries;
}

void check_entry_names(const std::vector<app_entry>& entries) {
    std::vector<std::string> problems;
    entry_name_problems(entries, problems);
    refuse_all(problems);
}

void insert_in_archive_order(std::vector<app_entry>& entries, const app_entry& entry) {
    // Component by component: at the first that differs, a file (the last
    // component) comes before a directory, else the lower units first.
    auto before = [](const std::u16string& a, const std::u16string& b) {
        size_t at = 0;
        for (;;) {
            size_t a_end = a.find(u'\\', at), b_end = b.find(u'\\', at);
            std::u16string a_part = a.substr(at, a_end == std::u16string::npos ? a_end : a_end - at);
            std::u16string b_part = b.substr(at, b_end == std::u16string::npos ? b_end : b_end - at);
            bool a_file = a_end == std::u16string::npos, b_file = b_end == std::u16string::npos;
            if (a_part != b_part || a_file || b_file) return a_file != b_file ? a_file : a_part < b_part;
            at = a_end + 1;
        }
    };
    auto at = entries.begin() + 1;  // the application library stays first
    while (at != entries.end() && before(at->name, entry.name)) ++at;
    entries.insert(at, entry);
}

}  // namespace pack
