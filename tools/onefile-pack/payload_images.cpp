// Every Windows image in the payload checked as the loader will meet it in
// the run directory, and the libraries none provides taken from the search
// paths. Names and images only: the caller says how a file is read.
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "checks.h"
#include "names.h"

namespace pack {

namespace {

std::string ascii_lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The folder part of a payload name, "\"-terminated ("" at the top).
std::u16string folder_of(const std::u16string& name) {
    size_t cut = name.rfind(u'\\');
    return cut == std::u16string::npos ? std::u16string() : name.substr(0, cut + 1);
}

std::string file_key(const std::u16string& name) {
    return ascii_lower(to_utf8(name.substr(folder_of(name).size())));
}

payload_file file_on_disk(const std::u16string& name, const fs::path& source) {
    return {name, [source] {
                std::ifstream in(source, std::ios::binary);
                std::error_code error;
                uint64_t size = fs::file_size(source, error);
                if (!in || error) throw pack_error("cannot read " + source.string());
                return read_image({&in, 0, size});
            }};
}

class payload_checker {
public:
    payload_checker(std::vector<payload_file>& files, const std::string& main_label,
                    const std::vector<fs::path>& search_paths)
        : files_(files), main_label_(main_label), search_paths_(search_paths) {
        for (size_t i = 0; i < files_.size(); ++i) index(i);
    }

    payload_check run() {
        // The top first: what the application library loads there is in the
        // process before any library elsewhere asks for it by name.
        for (size_t i = 0; i < files_.size(); ++i)
            if (folder_of(files_[i].name).empty()) check(i);
        loaded_by_main();
        for (size_t i = 0; i < files_.size(); ++i)
            if (!folder_of(files_[i].name).empty()) check(i);
        return std::move(result_);
    }

private:
    void index(size_t i) {
        folders_[to_utf8(fold_case(folder_of(files_[i].name)))].emplace(file_key(files_[i].name), i);
    }

    const library_image& image(size_t i) {
        auto found = images_.find(i);
        if (found == images_.end()) found = images_.emplace(i, files_[i].read()).first;
        return found->second;
    }

    std::string label(size_t i) { return i == 0 ? main_label_ : to_utf8(files_[i].name); }

    // The file `key` in the folder of file `i`, or -1.
    long beside(size_t i, const std::string& key) {
        const auto& folder = folders_[to_utf8(fold_case(folder_of(files_[i].name)))];
        auto found = folder.find(key);
        return found == folder.end() ? -1 : static_cast<long>(found->second);
    }

    // What the loader loads for an image: its imports, delay-loaded ones
    // included, and the libraries its exports are forwarded to. Each of
    // those is checked in turn, once, so forwarders that lead back end.
    static std::vector<std::string> loaded_names(const library_image& file) {
        std::vector<std::string> names = file.imports;
        names.insert(names.end(), file.forwarded_to.begin(), file.forwarded_to.end());
        return names;
    }

    // Library keys the application library loads from the top, transitively.
    void loaded_by_main() {
        std::vector<size_t> pending = {0};
        std::set<size_t> seen = {0};
        while (!pending.empty()) {
            size_t i = pending.back();
            pending.pop_back();
            for (const std::string& name : loaded_names(image(i))) {
                long j = beside(0, library_key(name));
                if (j < 0 || !seen.insert(static_cast<size_t>(j)).second) continue;
                main_loads_.insert(library_key(name));
                pending.push_back(static_cast<size_t>(j));
            }
        }
    }

    void find(const std::string& name, size_t importer, const std::string& why, bool nowhere) {
        std::string key = library_key(name) + '\n' + why;
        auto [it, inserted] = finding_of_.emplace(key, result_.findings.size());
        if (inserted) result_.findings.push_back({name, {}, why, nowhere});
        result_.findings[it->second].importers.push_back(label(importer));
    }

    void check(size_t i) {
        const library_image& file = image(i);
        if (!file.is_image || (i == 0 && !file.problem.empty())) return;  // the first is refused elsewhere
        if (!file.problem.empty()) {
            result_.unloadable.push_back(label(i) + ": " + file.problem);
            return;
        }
        const std::u16string folder = folder_of(files_[i].name);
        const std::string where = folder.empty() ? "APP_DIR" : "APP_DIR\\" + to_utf8(folder.substr(0, folder.size() - 1));
        const std::vector<std::string> imports = loaded_names(file);
        for (const std::string& name : imports) {
            std::string key = library_key(name);
            long j = beside(i, key);
            if (j >= 0) {
                const library_image& dependency = image(static_cast<size_t>(j));
                if (!dependency.problem.empty())
                    find(name, i, "is in " + where + " but cannot be loaded: " + dependency.problem, false);
                continue;
            }
            if (is_system_library(name)) continue;
            if (file.is_dll && !folder.empty() && main_loads_.count(key)) continue;
            if (take_from_search_paths(name, i)) continue;
            find(name, i, "is neither in " + where + " nor a library every Windows has", true);
        }
    }

    // The loader takes the first library of the name along its path that it
    // can load into the process; the packer does the same along the search
    // paths, and says what it passed over.
    bool take_from_search_paths(const std::string& name, size_t importer) {
        std::string key = library_key(name);
        fs::path chosen;
        std::string passed;
        for (const fs::path& directory : search_paths_) {
            fs::path candidate = in_directory(directory, key);
            if (candidate.empty()) continue;
            if (!chosen.empty()) {
                passed += "; also in " + directory.string();
                continue;
            }
            std::ifstream in(candidate, std::ios::binary);
            std::error_code error;
            uint64_t size = fs::file_size(candidate, error);
            library_image found = error ? library_image{} : read_library({&in, 0, size});
            if (!error && found.problem.empty()) chosen = candidate;
            else passed += "; passed over " + candidate.string() + " (" + (error ? error.message() : found.problem) + ")";
        }
        if (chosen.empty()) return false;
        added_library added{folder_of(files_[importer].name) + from_utf8(chosen.filename().u8string()), chosen,
                            label(importer), passed.empty() ? "" : passed.substr(2)};
        result_.added.push_back(added);
        files_.push_back(file_on_disk(added.name, chosen));
        index(files_.size() - 1);  // checked in its folder's pass, which is still running
        return true;
    }

    // The file of library key `key` in `directory`, compared without regard
    // to case as Windows does; empty when there is none.
    fs::path in_directory(const fs::path& directory, const std::string& key) {
        auto listed = listings_.find(directory.string());
        if (listed == listings_.end()) {
            std::map<std::string, fs::path> files;
            std::error_code error;
            for (const fs::directory_entry& entry : fs::directory_iterator(directory, error))
                if (entry.is_regular_file(error)) files.emplace(ascii_lower(entry.path().filename().u8string()), entry.path());
            listed = listings_.emplace(directory.string(), std::move(files)).first;
        }
        auto found = listed->second.find(key);
        return found == listed->second.end() ? fs::path() : found->second;
    }

    std::vector<payload_file>& files_;
    const std::string& main_label_;
    const std::vector<fs::path>& search_paths_;
    std::map<std::string, std::map<std::string, size_t>> folders_;  // folded folder -> file key -> index
    std::map<size_t, library_image> images_;
    std::set<std::string> main_loads_;
    std::map<std::string, size_t> finding_of_;
    std::map<std::string, std::map<std::string, fs::path>> listings_;
    payload_check result_;
};

}  // namespace

payload_check check_payload(std::vector<payload_file>& files, const std::string& main_label,
                            const std::vector<fs::path>& search_paths) {
    return payload_checker(files, main_label, search_paths).run();
}

std::string complete_payload(std::vector<app_entry>& entries, const std::string& main_label,
                             const std::vector<fs::path>& search_paths, std::ostream& warnings) {
    std::vector<payload_file> files;
    // Entries the packer writes from memory (the name --run gives) are text,
    // never an image.
    for (const app_entry& entry : entries)
        if (!entry.source.empty()) files.push_back(file_on_disk(entry.name, entry.source));
    payload_check check = check_payload(files, main_label, search_paths);
    for (const std::string& problem : check.unloadable)
        warnings << "onefile-pack: warning: " << problem << "\n";
    std::string searched;
    for (const fs::path& folder : search_paths) searched += (searched.empty() ? "" : ", ") + folder.string();
    for (const import_finding& finding : check.findings)
        warnings << "onefile-pack: warning: " << describe_finding(finding)
                 << (finding.found_nowhere ? "; searched " + (searched.empty() ? std::string("no folder") : searched) +
                                                 " (add one with --search-path DIR, or SEARCH_PATHS in onefile_pack())"
                                           : std::string())
                 << "\n";
    for (const added_library& added : check.added) {
        std::error_code error;
        uint64_t size = fs::file_size(added.source, error);
        if (error) throw pack_error("cannot read " + added.source.string() + ": " + error.message());
        insert_in_archive_order(entries, {added.name, added.source, size, {}});
        // The rules of the folder's own names, which the launcher needs as much.
        try {
            check_entry_names(entries);
        } catch (const refused_error& refusal) {
            throw refused_error(std::string(refusal.what()) + " (a library added from " + added.source.string() + ")");
        }
    }
    std::string listed;
    for (const added_library& added : check.added) {
        std::cout << "onefile-pack: added " << to_utf8(added.name) << " (imported by " << added.importers
                  << ") from " << added.source.string() << (added.choice.empty() ? "" : "; " + added.choice) << "\n";
        listed += to_utf8(added.name) + '\t' + added.importers + '\t' + added.source.string() + '\n';
    }
    return listed;
}

}  // namespace pack
