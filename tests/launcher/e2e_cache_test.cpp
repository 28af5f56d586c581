// End-to-end: a launcher whose template is a cache. The first start makes
// it, later ones run from it without writing a file; a damaged cache is
// repaired, another payload replaces it unless it is in use (that start runs
// from TEMP), a second start runs from a cache its living maker has not
// recorded yet, eight first starts make one cache, old caches are pruned, and
// a cache that is a link, another user's, a user's copy or a user's folder
// with a copied mark is never used, replaced or deleted.
#include <map>
#include <set>

#include "tests/launcher/e2e_fixture.h"

namespace {

std::set<std::wstring> names_of(const std::wstring& folder) {
    std::vector<std::wstring> names = directory_names(folder);
    return std::set<std::wstring>(names.begin(), names.end());
}

// Every file's last write time below `folder`, by path.
void file_times(const std::wstring& folder, std::map<std::wstring, uint64_t>& times) {
    for (const std::wstring& name : directory_names(folder)) {
        std::wstring path = folder + L"\\" + name;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            file_times(path, times);
        else
            times[path] = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    }
}

// Every file's bytes below `folder`, by path.
void file_contents(const std::wstring& folder, std::map<std::wstring, std::string>& contents) {
    for (const std::wstring& name : directory_names(folder)) {
        std::wstring path = folder + L"\\" + name;
        if (directory_exists(path))
            file_contents(path, contents);
        else
            contents[path] = read_file(path);
    }
}

// What Explorer's copy makes: the same tree, every file new.
bool copy_tree(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
    for (const std::wstring& name : directory_names(from)) {
        std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
        if (!(directory_exists(source) ? copy_tree(source, target) : CopyFileW(source.c_str(), target.c_str(), TRUE)))
            return false;
    }
    return true;
}

}  // namespace

class cache_end_to_end : public launcher_end_to_end {
protected:
    void SetUp() override {
        launcher_end_to_end::SetUp();
        caches_ = folder_ + L"\\caches";
        cache_ = caches_ + L"\\app";
    }
    // The links a test planted, so that its folder goes (the deleter leaves
    // links where it cannot remove them safely).
    void TearDown() override {
        clear_links_below(folder_);
        launcher_end_to_end::TearDown();
    }
    // The probe and a note whose text makes the build; `seed` its digest.
    void pack_build(unsigned char seed, const std::wstring& cache, const std::wstring& exe = L"",
                    const std::wstring& product = L"") {
        std::wstring saved = exe_;
        if (!exe.empty()) exe_ = exe;
        pack({{L"main.dll", probe_library()}, {L"data\\notes.txt", "build " + std::to_string(seed)}});
        ASSERT_TRUE(set_run_directory_template(exe_, cache, seed, product));
        exe_ = saved;
    }
    std::wstring module_of(const std::wstring& exe, const std::wstring& tail = L"exit 0") {
        std::wstring saved = exe_;
        exe_ = exe;
        std::wstring module = module_of_run(tail);
        exe_ = saved;
        return module;
    }
    // Runs `tail` after a report; the module the child loaded.
    std::wstring module_of_run(const std::wstring& tail = L"exit 0") {
        std::wstring report = report_path(L"report.bin");
        DeleteFileW(report.c_str());
        EXPECT_EQ(run(L"report " + in_quotes(report) + L" " + tail), 0u) << last_output_ << last_error_;
        return read_report(report)[REPORT_MODULE];
    }
    std::wstring caches_, cache_;
};

TEST_F(cache_end_to_end, the_first_start_makes_it_and_later_ones_run_from_it_unwritten) {
    pack_build(1, cache_);
    EXPECT_EQ(module_of_run(), cache_ + L"\\main.dll");
    EXPECT_EQ(names_of(caches_), (std::set<std::wstring>{L"app", L"app.lock"})) << "staging left";
    std::map<std::wstring, uint64_t> before, after;
    file_times(cache_, before);
    EXPECT_EQ(before.size(), 3u) << "main.dll, the note and the record";
    Sleep(50);
    EXPECT_EQ(module_of_run(), cache_ + L"\\main.dll");
    file_times(cache_, after);
    EXPECT_EQ(after, before) << "a file was written again";
    EXPECT_TRUE(directory_names(temp_).empty()) << "a start ran from TEMP";
}

TEST_F(cache_end_to_end, a_damaged_cache_is_repaired_and_another_payload_replaces_it) {
    pack_build(1, cache_);
    module_of_run();
    ASSERT_TRUE(DeleteFileW((cache_ + L"\\data\\notes.txt").c_str()));
    EXPECT_EQ(module_of_run(), cache_ + L"\\main.dll");
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 1");
    ASSERT_TRUE(write_file(cache_ + L"\\data\\notes.txt", "resized, longer"));
    module_of_run();
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 1");

    pack_build(2, cache_);
    EXPECT_EQ(module_of_run(), cache_ + L"\\main.dll");
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 2");
    EXPECT_EQ(names_of(caches_), (std::set<std::wstring>{L"app", L"app.lock"}));
}

// A cache's mark names the folder it was made in: a user's copies beside
// the cache (Explorer's "- Copy", a backup) with notes added, and a user's
// own folder at the cache's path holding a mark copied from a cache, are
// the user's. No start of an older or a newer build (the newer replacing
// the older's cache, the sweep pruning beside it) uses, prunes, replaces or
// deletes them: they come out byte for byte, a read-only file still so.
TEST_F(cache_end_to_end, users_copies_and_a_users_folder_with_a_copied_mark_are_never_touched) {
    std::wstring older = folder_ + L"\\older.exe", newer = folder_ + L"\\newer.exe";
    pack_build(1, cache_, older);
    pack_build(2, cache_, newer);
    EXPECT_EQ(module_of(older), cache_ + L"\\main.dll");
    const std::wstring copies[] = {cache_ + L" - Copy", cache_ + L" - Copy (2)"};
    for (const std::wstring& copy : copies) {
        ASSERT_TRUE(copy_tree(cache_, copy));
        ASSERT_TRUE(write_file(copy + L"\\my notes.txt", "kept by the user"));
        Sleep(20);  // the sweep keeps the newest other cache by its creation
    }
    std::map<std::wstring, std::string> before, after;
    for (const std::wstring& copy : copies) file_contents(copy, before);
    // The sweep prunes beside the application: give it the time.
    for (const std::wstring& exe : {older, newer, newer, older})
        module_of(exe, L"sleep 300 exit 0");
    EXPECT_EQ(module_of(newer), cache_ + L"\\main.dll");
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 2");
    for (const std::wstring& copy : copies) file_contents(copy, after);
    EXPECT_TRUE(after == before) << "a user's copy was changed";

    // Made while the cache stands (a number of a deleted folder may come
    // again under Wine on Linux), then put in the cache's place.
    std::wstring mine = folder_ + L"\\mine";
    ASSERT_TRUE(CreateDirectoryW(mine.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((mine + L"\\profiles").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((cache_ + L"\\.onefile-cache").c_str(), (mine + L"\\.onefile-cache").c_str(), TRUE));
    ASSERT_TRUE(write_file(mine + L"\\settings.ini", "[user]\nkept=1\n"));
    ASSERT_TRUE(write_file(mine + L"\\profiles\\save1.dat", std::string(5000, 's')));
    ASSERT_TRUE(SetFileAttributesW((mine + L"\\profiles\\save1.dat").c_str(), FILE_ATTRIBUTE_READONLY));
    remove_tree(cache_);
    ASSERT_TRUE(MoveFileExW(mine.c_str(), cache_.c_str(), 0));
    before.clear();
    after.clear();
    file_contents(caches_, before);
    for (const std::wstring& exe : {older, newer, newer, older}) {
        std::wstring module = module_of(exe, L"sleep 300 exit 0");
        EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
    }
    file_contents(caches_, after);
    EXPECT_TRUE(after == before) << "a user's folder was changed";
    EXPECT_EQ(GetFileAttributesW((cache_ + L"\\profiles\\save1.dat").c_str()) & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    SetFileAttributesW((cache_ + L"\\profiles\\save1.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(run_directories_in(temp_).empty());
}

// Products sharing one folder keep their caches; two builds of one product
// sharing a template do not replace each other: the newer (by the build
// stamp the packer records, not by the packed file's time, which a `touch`
// moves) keeps the cache, the older runs from TEMP.
TEST_F(cache_end_to_end, other_products_caches_stay_and_two_builds_do_not_alternate) {
    const std::wstring products[] = {L"One", L"Two", L"Three"};
    for (size_t index = 0; index < 3; ++index) {
        std::wstring exe = folder_ + L"\\" + products[index] + L".exe";
        pack_build(static_cast<unsigned char>(10 + index), caches_ + L"\\{PRODUCT}", exe, products[index]);
        // The sweep prunes beside the application: give it the time.
        EXPECT_EQ(module_of(exe, L"sleep 300 exit 0"), caches_ + L"\\" + products[index] + L"\\main.dll");
    }
    module_of(folder_ + L"\\One.exe", L"sleep 300 exit 0");
    for (const std::wstring& product : products)
        EXPECT_TRUE(file_exists(caches_ + L"\\" + product + L"\\main.dll")) << printable(product);

    std::wstring older = folder_ + L"\\older.exe", newer = folder_ + L"\\newer.exe";
    pack_build(1, cache_, older);
    pack_build(2, cache_, newer);
    HANDLE touched = CreateFileW(older.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILE_BASIC_INFO basic = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(touched, FileBasicInfo, &basic, sizeof basic));
    basic.LastWriteTime.QuadPart += 36000000000LL;  // an hour later than it was packed
    ASSERT_TRUE(SetFileInformationByHandle(touched, FileBasicInfo, &basic, sizeof basic));
    CloseHandle(touched);
    EXPECT_EQ(module_of(older), cache_ + L"\\main.dll");
    EXPECT_EQ(module_of(newer), cache_ + L"\\main.dll");
    std::wstring copy = cache_ + L" - Copy";
    ASSERT_TRUE(copy_tree(cache_, copy));
    std::map<std::wstring, uint64_t> before, after;
    std::map<std::wstring, std::string> copied, kept;
    file_times(cache_, before);
    file_contents(copy, copied);
    for (int round = 0; round < 2; ++round) {
        std::wstring module = module_of(older);
        EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
        EXPECT_EQ(module_of(newer), cache_ + L"\\main.dll");
    }
    file_times(cache_, after);
    EXPECT_EQ(after, before) << "the cache was built again";
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 2");
    file_contents(copy, kept);
    EXPECT_TRUE(kept == copied) << "a user's copy was changed";
}

// Inside a cache a link where a file should be (a Unix link to a file of the
// same size) makes it stale: it is built again, and what the link led to
// stays as it was. A dangling link at its lock file is never followed.
TEST_F(cache_end_to_end, links_inside_a_cache_or_at_its_lock_file_are_never_followed) {
    pack_build(1, cache_);
    module_of_run();
    std::wstring outside = folder_ + L"\\outside.dll";
    ASSERT_TRUE(write_file(outside, std::string(probe_library().size(), 'x')));
    ASSERT_TRUE(DeleteFileW((cache_ + L"\\main.dll").c_str()));
    ASSERT_TRUE(make_unix_link(outside, cache_ + L"\\main.dll"));
    EXPECT_EQ(module_of_run(), cache_ + L"\\main.dll");
    EXPECT_EQ(read_file(cache_ + L"\\main.dll"), probe_library());
    EXPECT_EQ(read_file(outside), std::string(probe_library().size(), 'x'));

    std::wstring elsewhere = folder_ + L"\\created_through_the_link";
    ASSERT_TRUE(DeleteFileW((caches_ + L"\\app.lock").c_str()));
    ASSERT_TRUE(run_unix_command(L"ln -s '" + unix_path_of(elsewhere) + L"' '" +
                                 unix_path_of(caches_ + L"\\app.lock") + L"'"));
    std::wstring module = module_of_run();
    EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
    EXPECT_FALSE(file_exists(elsewhere));
    remove_unix_link(caches_ + L"\\app.lock");
}

// A new build while the old one runs: the cache stays the old one's, the
// new build runs from a directory of its own under TEMP, gone at its end.
TEST_F(cache_end_to_end, a_cache_in_use_stays_and_another_build_runs_from_temp) {
    pack_build(1, cache_);
    std::wstring release = report_path(L"release");
    launched_process first;
    ASSERT_FALSE(start_held(first, release).empty());

    std::wstring second_exe = folder_ + L"\\app2.exe";
    pack_build(2, cache_, second_exe);
    std::wstring module = module_of(second_exe);
    EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 1");
    EXPECT_TRUE(run_directories_in(temp_).empty());

    write_file(release, "");
    EXPECT_TRUE(first.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(first.exit_code(), 0u);
    EXPECT_EQ(read_file(cache_ + L"\\main.dll"), probe_library());
}

// A second window of the application while the first start's still runs:
// the cache is not recorded yet (that comes when the first application
// ends), but its maker lives, so the second start runs from it at once, and
// the record is made by whichever ends last.
TEST_F(cache_end_to_end, a_second_start_runs_from_a_cache_its_maker_has_not_recorded_yet) {
    pack_build(1, cache_);
    std::wstring release = report_path(L"release");
    launched_process first;
    ASSERT_FALSE(start_held(first, release).empty());
    std::string mark = read_file(cache_ + L"\\.onefile-cache");
    ASSERT_GT(mark.size(), 32u);
    EXPECT_EQ(mark.substr(mark.size() - 32), std::string(32, '\0')) << "recorded before the first ended";

    std::wstring module = module_of_run();
    EXPECT_EQ(module, cache_ + L"\\main.dll") << printable(module);
    EXPECT_TRUE(run_directories_in(temp_).empty());

    write_file(release, "");
    EXPECT_TRUE(first.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(first.exit_code(), 0u);
    mark = read_file(cache_ + L"\\.onefile-cache");
    EXPECT_NE(mark.substr(mark.size() - 32), std::string(32, '\0')) << "never recorded";
}

TEST_F(cache_end_to_end, eight_first_starts_at_once_run_from_one_cache) {
    pack_build(1, cache_);
    constexpr int STARTS = 8;
    launched_process processes[STARTS];
    std::vector<std::wstring> reports;
    for (int index = 0; index < STARTS; ++index) {
        reports.push_back(report_path((L"r" + std::to_wstring(index) + L".bin").c_str()));
        start(processes[index], L"report " + in_quotes(reports.back()), {}, L"start" + std::to_wstring(index));
    }
    for (int index = 0; index < STARTS; ++index) {
        EXPECT_TRUE(processes[index].wait(LAUNCHER_TIMEOUT_MS));
        EXPECT_EQ(processes[index].exit_code(), 0u) << processes[index].standard_output();
        EXPECT_EQ(read_report(reports[index])[REPORT_MODULE], cache_ + L"\\main.dll") << index;
    }
    EXPECT_EQ(names_of(caches_), (std::set<std::wstring>{L"app", L"app.lock"})) << "staging left";
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 1");
}

// One folder per version, as {VERSION} gives: after ten upgrades the current
// cache and at most one older one remain; a directory without our record
// beside them is never touched.
TEST_F(cache_end_to_end, ten_upgrades_leave_at_most_two_caches) {
    ASSERT_TRUE(CreateDirectoryW(caches_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((caches_ + L"\\v0").c_str(), nullptr));
    ASSERT_TRUE(write_file(caches_ + L"\\v0\\keep.txt", "not a cache"));
    for (int version = 1; version <= 10; ++version) {
        std::wstring cache = caches_ + L"\\v" + std::to_wstring(version);
        pack_build(static_cast<unsigned char>(version), cache);
        // The sweep prunes beside the application: give it the time.
        EXPECT_EQ(module_of_run(L"sleep 300 exit 0"), cache + L"\\main.dll");
    }
    module_of_run(L"sleep 300 exit 0");
    std::set<std::wstring> caches;
    for (const std::wstring& name : names_of(caches_))
        if (file_exists(caches_ + L"\\" + name + L"\\.onefile-cache")) caches.insert(name);
    EXPECT_LE(caches.size(), 2u);
    EXPECT_EQ(caches.count(L"v10"), 1u);
    EXPECT_EQ(read_file(caches_ + L"\\v0\\keep.txt"), "not a cache");
}

TEST_F(cache_end_to_end, a_cache_that_is_a_link_or_another_users_is_not_used) {
    ASSERT_TRUE(CreateDirectoryW(caches_.c_str(), nullptr));
    std::wstring elsewhere = folder_ + L"\\elsewhere";
    pack_build(1, cache_);
    module_of_run();
    ASSERT_TRUE(MoveFileExW(cache_.c_str(), elsewhere.c_str(), 0));
    ASSERT_TRUE(make_unix_link(elsewhere, cache_));
    std::wstring module = module_of_run();
    EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
    EXPECT_EQ(read_file(elsewhere + L"\\data\\notes.txt"), "build 1");
    remove_unix_link(cache_);

    ASSERT_TRUE(MoveFileExW(elsewhere.c_str(), cache_.c_str(), 0));
    if (!run_unix_command(L"chown -R 65534:65534 '" + unix_path_of(cache_) + L"'")) {
        printf("[ note     ] no directory of another user could be made; that case was not run\n");
        return;
    }
    module = module_of_run();
    EXPECT_EQ(module.rfind(temp_ + L"\\onefile_", 0), 0u) << printable(module);
    run_unix_command(L"chown -R 0:0 '" + unix_path_of(cache_) + L"'");
    EXPECT_EQ(read_file(cache_ + L"\\data\\notes.txt"), "build 1");
}
