// End-to-end: the sweep at start. Leftovers of launchers that are gone are
// deleted by the next start; directories still in use, of live owners, or
// whose names only look like ours stay exactly as they were.
#include <functional>
#include <initializer_list>
#include <set>

#include <aclapi.h>

#include "tests/launcher/e2e_fixture.h"

namespace {

// No process has this id (Wine and Windows hand out small multiples of 4).
constexpr wchar_t DEAD_PARENT[] = L"2147483644";

uint64_t as_count(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t own_creation_time() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return as_count(created);
}

std::set<std::wstring> names_in(const std::wstring& folder) {
    std::vector<std::wstring> names = directory_names(folder);
    return std::set<std::wstring>(names.begin(), names.end());
}

// A leftover with a file, a read-only file and a subdirectory; `marked`, its
// lock file carries the mark a launcher writes when it makes one (beside the
// name without ".swept"), else it is a folder of that name and nothing more.
void make_leftover(const std::wstring& path, bool marked = true) {
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((path + L"\\lib").c_str(), nullptr));
    ASSERT_TRUE(write_file(path + L"\\main.dll", "left behind"));
    ASSERT_TRUE(write_file(path + L"\\lib\\locked.txt", "read-only"));
    ASSERT_TRUE(SetFileAttributesW((path + L"\\lib\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    if (!marked) return;
    std::wstring base = path;
    if (base.size() > 6 && base.compare(base.size() - 6, 6, L".swept") == 0) {
        ASSERT_TRUE(MoveFileExW(path.c_str(), base.substr(0, base.size() - 6).c_str(), 0));
        ASSERT_TRUE(mark_as_run_directory(base.substr(0, base.size() - 6)));
        ASSERT_TRUE(MoveFileExW(base.substr(0, base.size() - 6).c_str(), path.c_str(), 0));
        return;
    }
    ASSERT_TRUE(mark_as_run_directory(path));
}

bool gone(const std::wstring& path) { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; }

// Hands a directory to another Unix user (the tests run as root on CI and
// here); false where that cannot be done.
bool give_to_another_user(const std::wstring& path) {
    return run_unix_command(L"chown -R 65534:65534 '" + unix_path_of(path) + L"'") &&
           !gone(path);
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// What in `path`'s access list grants anyone but this user anything, or
// names another owner; "" when nothing. Wine 8 keeps no access lists on
// this file system: it shows one made from the Unix mode, always with SYSTEM
// in it, and never the protection flag.
std::wstring access_problems(const std::wstring& path) {
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS)
        return path + L": unreadable; ";
    HANDLE token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(8) unsigned char user_buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &size);
    CloseHandle(token);
    PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    alignas(8) unsigned char system_buffer[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system_buffer;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system_buffer, &system_size);
    std::wstring problems;
    if (!EqualSid(owner, user)) problems += path + L": another owner; ";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    if (!under_wine() && !(control & SE_DACL_PROTECTED)) problems += path + L": inherits; ";
    for (DWORD index = 0; list != nullptr && index < list->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        GetAce(list, index, reinterpret_cast<void**>(&header));
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        PSID grantee = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
        if (!EqualSid(grantee, user) && !(under_wine() && EqualSid(grantee, system_buffer)))
            problems += path + L": grants another; ";
    }
    LocalFree(descriptor);
    return problems;
}

bool process_ended(DWORD process_id, DWORD timeout_ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return true;
    bool ended = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool terminate_process(DWORD process_id) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return false;
    bool ended = TerminateProcess(process, 1) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

}  // namespace

// The sweep runs beside the application and has at most about 0.1 s after
// it: each test starts one launcher that waits, polls until the sweep has
// done what it should (or the deadline passes), then lets it end.
class sweep_end_to_end : public launcher_end_to_end {
protected:
    void SetUp() override {
        launcher_end_to_end::SetUp();
        pack_probe();
    }
    void TearDown() override {
        clear_links_below(folder_);
        launcher_end_to_end::TearDown();
    }
    // The probe runs `before`, waits, then runs `after`.
    DWORD run_until(const std::function<bool()>& done, const std::wstring& after = L"exit 0",
                    const std::wstring& before = L"", const std::wstring& current = L"") {
        std::wstring release = report_path(L"release");
        DeleteFileW(release.c_str());
        launched_process process;
        if (!current.empty()) current_ = current;
        start(process, before + L" await " + in_quotes(release) + L" " + after);
        bool finished = false;
        for (ULONGLONG deadline = GetTickCount64() + 30000; !finished && GetTickCount64() < deadline;
             Sleep(20))
            finished = done();
        EXPECT_TRUE(finished) << "the sweep did not finish within 30 s";
        write_file(release, "");
        EXPECT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
        last_output_ = process.standard_output() + process.standard_error();
        return process.exit_code();
    }
};

TEST_F(sweep_end_to_end, removes_leftovers_whose_owner_is_gone_and_nothing_else) {
    std::wstring own = std::to_wstring(GetCurrentProcessId());
    // Gone: no such process; an id now used by a process created later (this
    // test program); an interrupted sweep. One holds a path past 260 units.
    std::wstring no_process = temp_ + L"\\onefile_" + DEAD_PARENT + L"_1";
    std::wstring reused = temp_ + L"\\onefile_" + own + L"_" + std::to_wstring(own_creation_time() - 1);
    std::wstring interrupted = temp_ + L"\\onefile_" + DEAD_PARENT + L"_5.swept";
    for (const std::wstring& path : {no_process, reused, interrupted}) make_leftover(path);
    std::wstring deep = L"\\\\?\\" + no_process;
    for (int level = 0; level < 40; ++level) {
        deep += L"\\level_" + std::to_wstring(level);
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    ASSERT_GT(deep.size(), 400u);
    ASSERT_TRUE(write_file(deep + L"\\deepest.bin", "far down"));
    // Gone too, but holding links to things outside: what the links lead to
    // stays, the links stay (Wine 8 cannot remove them safely), the rest goes.
    std::wstring targets = folder_ + L"\\targets";
    ASSERT_TRUE(make_link_targets(targets));
    std::wstring linked_leftover = temp_ + L"\\onefile_" + DEAD_PARENT + L"_9";
    make_leftover(linked_leftover);
    ASSERT_TRUE(plant_links(linked_leftover + L"\\lib", targets));

    // Kept: a live owner; names that only look like ours; doubt; a folder of
    // our naming that no launcher made (no mark), or whose lock file's mark
    // names another directory (a folder made at the path of one gone).
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::wstring live = L"onefile_" + own + L"_" + std::to_wstring(as_count(now));
    make_leftover(temp_ + L"\\" + live);
    std::wstring unmarked = std::wstring(L"onefile_") + DEAD_PARENT + L"_11";
    std::wstring remade = std::wstring(L"onefile_") + DEAD_PARENT + L"_12";
    make_leftover(temp_ + L"\\" + remade);
    ASSERT_TRUE(MoveFileExW((temp_ + L"\\" + remade).c_str(), (folder_ + L"\\moved").c_str(), 0));
    std::vector<std::wstring> kept_directories = {
        live, unmarked, remade,
        std::wstring(L"onefile_") + DEAD_PARENT + L"_1x",
        std::wstring(L"onefile_+") + DEAD_PARENT + L"_1",
        std::wstring(L"onefile_") + DEAD_PARENT + L"_",
        std::wstring(L"onefile_") + DEAD_PARENT + L"_1.swept.old",
        L"onefile_4294967296_1",  // past 32 bits: doubt
        L"onefile_0_1"};          // an id no launcher has
    for (const std::wstring& name : kept_directories)
        if (name != live) make_leftover(temp_ + L"\\" + name, false);
    // Another user's directory in a shared folder is never ours, whatever its name.
    std::wstring foreign = std::wstring(L"onefile_") + DEAD_PARENT + L"_10";
    make_leftover(temp_ + L"\\" + foreign);
    if (give_to_another_user(temp_ + L"\\" + foreign))
        kept_directories.push_back(foreign);
    else
        printf("[ note     ] no directory of another user could be made; that case was not run\n");
    std::wstring file_name = std::wstring(L"onefile_") + DEAD_PARENT + L"_7";
    ASSERT_TRUE(write_file(temp_ + L"\\" + file_name, "a file, not a directory"));
    ASSERT_TRUE(CreateDirectoryW((temp_ + L"\\linked").c_str(), nullptr));
    ASSERT_TRUE(write_file(temp_ + L"\\linked\\keep.txt", "behind a link"));
    std::wstring link_name = std::wstring(L"onefile_") + DEAD_PARENT + L"_8";
    ASSERT_TRUE(make_unix_link(temp_ + L"\\linked", temp_ + L"\\" + link_name));
    std::set<std::wstring> expected(kept_directories.begin(), kept_directories.end());
    if (expected.count(foreign) != 0) expected.insert(foreign + L".lock");
    for (const std::wstring& name : {file_name, std::wstring(L"linked"), link_name,
                                     std::wstring(L"onefile_") + DEAD_PARENT + L"_9.swept",
                                     std::wstring(L"onefile_") + DEAD_PARENT + L"_9.lock",
                                     remade + L".lock", live + L".lock"})
        expected.insert(name);

    EXPECT_EQ(run_until([&] {
                  return gone(no_process) && gone(reused) && gone(interrupted) &&
                         gone(linked_leftover) && !gone(linked_leftover + L".swept\\lib");
              }, L"exit 4"), 4u);
    EXPECT_EQ(last_output_, "");
    std::set<std::wstring> left = names_in(temp_);
    for (const std::wstring& name : left)
        EXPECT_EQ(expected.count(name), 1u) << "unexpected " << printable(name);
    for (const std::wstring& name : expected)
        EXPECT_EQ(left.count(name), 1u) << "missing " << printable(name);
    // Untouched means untouched, down to the read-only file.
    for (const std::wstring& name : kept_directories) {
        EXPECT_EQ(read_file(temp_ + L"\\" + name + L"\\main.dll"), "left behind") << printable(name);
        EXPECT_TRUE(file_exists(temp_ + L"\\" + name + L"\\lib\\locked.txt")) << printable(name);
    }
    EXPECT_EQ(read_file(temp_ + L"\\linked\\keep.txt"), "behind a link");
    EXPECT_EQ(link_targets_changed(targets), "");
    EXPECT_FALSE(file_exists(linked_leftover + L".swept\\main.dll"));
}

// A template of the team's own: the application runs from the directory it
// names, which is gone after the exit; a leftover of its naming beside its
// lock file is swept; one without a lock file, or of the default naming, stays.
TEST_F(sweep_end_to_end, a_template_of_its_own_is_run_from_cleaned_and_swept) {
    ASSERT_TRUE(set_run_directory_template(exe_, L"{TEMP}\\runs\\{PRODUCT}-{TIME}.{PID}-d"));
    std::wstring runs = temp_ + L"\\runs";
    ASSERT_TRUE(CreateDirectoryW(runs.c_str(), nullptr));
    std::wstring product = L"Marrowlake";
    std::wstring swept = runs + L"\\" + product + L"-1." + DEAD_PARENT + L"-d";
    make_leftover(swept);
    std::set<std::wstring> kept = {product + L"-2." + DEAD_PARENT + L"-d",
                                   std::wstring(L"onefile_") + DEAD_PARENT + L"_1"};
    for (const std::wstring& name : kept) make_leftover(runs + L"\\" + name, false);

    std::wstring report = report_path(L"report.bin");
    EXPECT_EQ(run_until([&] { return gone(swept) && gone(swept + L".lock"); }, L"exit 0",
                        L"report " + in_quotes(report)), 0u);
    probe_report seen = read_report(report);
    EXPECT_EQ(seen[REPORT_MODULE], runs + L"\\" + product + L"-" + seen[L"TALVOR_ONEFILE_START"] + L"." +
                                       seen[L"TALVOR_ONEFILE_PARENT"] + L"-d\\main.dll");
    EXPECT_EQ(names_in(runs), kept) << "the run directory and its lock file stay, or a look-alike went";
}

// A parent killed with its child: swept. A parent killed while its child
// runs: the child holds the run directory, so it stays whole until the
// child ends, and a later start then sweeps it.
TEST_F(sweep_end_to_end, killed_launchers_are_swept_once_nothing_holds_their_directory) {
    launched_process both_killed, parent_killed;
    std::wstring report_both = report_path(L"both.bin"), report_parent = report_path(L"parent.bin");
    std::wstring never = report_path(L"never"), release = report_path(L"release_child");
    start(both_killed, L"report " + in_quotes(report_both) + L" await " + in_quotes(never), {},
          L"both");
    start(parent_killed, L"report " + in_quotes(report_parent) + L" await " + in_quotes(release),
          {}, L"parent");
    probe_report seen_both = wait_for_report(report_both, 30000);
    probe_report seen_parent = wait_for_report(report_parent, 30000);
    ASSERT_FALSE(seen_both.empty() || seen_parent.empty());
    std::wstring directory_both = run_directory_of(seen_both);
    std::wstring directory_parent = run_directory_of(seen_parent);
    DWORD child_both = std::stoul(seen_both[REPORT_PROCESS_ID]);
    DWORD child_parent = std::stoul(seen_parent[REPORT_PROCESS_ID]);

    ASSERT_TRUE(both_killed.terminate());
    ASSERT_TRUE(both_killed.wait(10000));
    ASSERT_TRUE(terminate_process(child_both));
    ASSERT_TRUE(parent_killed.terminate());
    ASSERT_TRUE(parent_killed.wait(10000));
    ASSERT_FALSE(process_ended(child_parent, 0)) << "the orphaned child should still run";
    std::set<std::wstring> files_before = names_in(directory_parent);

    EXPECT_EQ(run_until([&] { return gone(directory_both) && gone(directory_both + L".lock"); }), 0u)
        << last_output_;
    ASSERT_TRUE(directory_exists(directory_parent));
    EXPECT_EQ(names_in(directory_parent), files_before);
    EXPECT_EQ(read_file(directory_parent + L"\\data\\nested\\notes.txt"), "packed beside the library");
    EXPECT_EQ(read_file(directory_parent + L"\\main.dll"), probe_library());

    ASSERT_TRUE(write_file(release, ""));
    ASSERT_TRUE(process_ended(child_parent, 30000));
    EXPECT_EQ(run_until([&] { return run_directories_in(temp_).size() == 1; }), 0u) << last_output_;
    std::vector<std::wstring> left = directory_names(temp_);
    EXPECT_TRUE(left.empty()) << left.size() << " left, the first " << printable(left[0]);
}

// However many live directories stand in the folder before it, a leftover
// is reached; and leftovers that can never be removed (a link in each) take
// no place of those that can.
TEST_F(sweep_end_to_end, neither_live_directories_nor_trees_that_must_stay_crowd_out_a_leftover) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    constexpr int live_count = 1100;  // beyond a scan of 1,024 entries
    constexpr int stuck_count = 70;   // beyond a start's 64 trees
    std::wstring targets = folder_ + L"\\targets";
    ASSERT_TRUE(make_link_targets(targets));
    std::wstring commands = L"cd '" + unix_path_of(temp_) + L"' && for i in $(seq " +
                            std::to_wstring(live_count) + L"); do mkdir onefile_" +
                            std::to_wstring(GetCurrentProcessId()) + L"_$((" +
                            std::to_wstring(as_count(now)) + L" + i)); done && for i in $(seq " +
                            std::to_wstring(stuck_count) + L"); do mkdir onefile_" + DEAD_PARENT +
                            L"_$i && ln -s '" + unix_path_of(targets) + L"/file.txt' onefile_" +
                            DEAD_PARENT + L"_$i/link; done";
    ASSERT_TRUE(run_unix_command(commands));
    for (int index = 1; index <= stuck_count; ++index)
        ASSERT_TRUE(mark_as_run_directory(temp_ + L"\\onefile_" + DEAD_PARENT + L"_" + std::to_wstring(index)));
    ASSERT_EQ(run_directories_in(temp_).size(), static_cast<size_t>(live_count + stuck_count));
    // Also gone, and after all of them where a listing is sorted (Wine 8).
    std::wstring leftover = temp_ + L"\\onefile_999999996_1";
    make_leftover(leftover);

    EXPECT_EQ(run_until([&] { return gone(leftover); }), 0u);
    EXPECT_EQ(run_directories_in(temp_).size(), static_cast<size_t>(live_count + stuck_count));
    EXPECT_EQ(link_targets_changed(targets), "");
}

// Links planted in a live run directory while the application runs (from the
// Unix side: Wine 8 cannot make links itself): the parent's clean-up leaves
// them, and what they lead to, alone.
TEST_F(sweep_end_to_end, clean_up_leaves_links_planted_in_a_live_run_directory) {
    std::wstring targets = folder_ + L"\\targets";
    ASSERT_TRUE(make_link_targets(targets));
    std::wstring report = report_path(L"report.bin");
    std::wstring directory;
    EXPECT_EQ(run_until([&] {
                  probe_report seen = read_report(report);
                  if (seen.empty()) return false;
                  directory = run_directory_of(seen);
                  return plant_links(directory + L"\\data", targets);
              }, L"exit 3", L"report " + in_quotes(report)), 3u);
    EXPECT_EQ(link_targets_changed(targets), "");
    EXPECT_FALSE(file_exists(directory + L"\\main.dll"));
    EXPECT_TRUE(directory_exists(directory + L"\\data"));
}

// The run directory and what is in it are this user's alone.
TEST_F(sweep_end_to_end, run_directory_grants_its_user_alone) {
    std::wstring report = report_path(L"report.bin");
    std::wstring problems;
    run_until([&] {
        probe_report seen = read_report(report);
        if (seen.empty()) return false;
        std::wstring directory = run_directory_of(seen);
        problems = access_problems(directory) + access_problems(directory + L"\\main.dll");
        return true;
    }, L"exit 0", L"report " + in_quotes(report));
    EXPECT_EQ(printable(problems), "");
}

// A run directory that already stands where this start would make its own
// (a shared folder, someone else's doing) is refused; nothing in it is used
// or deleted.
TEST_F(sweep_end_to_end, an_existing_run_directory_is_refused_and_left_alone) {
    launched_process process;
    process.suspended = true;
    std::wstring start_time = L"133000000000000000";
    start(process, L"exit 0", {{L"TALVOR_ONEFILE_START", start_time, false}});
    std::wstring planted = temp_ + L"\\onefile_" + std::to_wstring(process.process_id()) + L"_" + start_time;
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(write_file(planted + L"\\main.dll", "planted"));
    process.resume();
    ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(process.exit_code(), 2u);
    std::string path;
    for (wchar_t unit : planted) path += static_cast<char>(unit);
    EXPECT_EQ(process.standard_error(), "Error, failed to open '" + path + "' for writing.\r\n");
    EXPECT_EQ(read_file(planted + L"\\main.dll"), "planted");
}

// A child whose run directory belongs to another user does not load from it.
TEST_F(sweep_end_to_end, a_child_refuses_a_run_directory_of_another_user) {
    std::wstring report = report_path(L"report.bin");
    std::string refusal;
    DWORD refused_status = 0;
    run_until([&] {
        probe_report seen = read_report(report);
        if (seen.empty()) return false;
        // A second child of the running parent, sent to a run directory of
        // another user holding a library of its own.
        std::wstring start_time = L"133000000000000001";
        std::wstring planted = temp_ + L"\\onefile_" + seen[L"TALVOR_ONEFILE_PARENT"] + L"_" + start_time;
        if (!CreateDirectoryW(planted.c_str(), nullptr) || !write_file(planted + L"\\main.dll", probe_library()))
            return false;
        if (!give_to_another_user(planted)) return true;
        launched_process child;
        start(child, L"exit 0", {{L"TALVOR_ONEFILE_PARENT", seen[L"TALVOR_ONEFILE_PARENT"], false},
                                 {L"TALVOR_ONEFILE_START", start_time, false}}, L"child");
        child.wait(LAUNCHER_TIMEOUT_MS);
        refused_status = child.exit_code();
        refusal = child.standard_error();
        return true;
    }, L"exit 0", L"report " + in_quotes(report));
    if (refusal.empty()) GTEST_SKIP() << "no directory of another user could be made";
    EXPECT_EQ(refused_status, 2u);
    EXPECT_EQ(refusal.rfind("Error, load DLL. ([Error 5] ", 0), 0u) << refusal;
}

// TEMP at a drive's root (a RAM disk, say): the sweep looks in the root, not
// in that drive's current directory, which "R:" alone would name.
TEST_F(sweep_end_to_end, a_temporary_folder_at_a_drive_root_is_swept_there) {
    std::wstring root = folder_ + L"\\drive";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\current").c_str(), nullptr));
    std::wstring prefix_devices = L"$WINEPREFIX/dosdevices/r:";
    ASSERT_TRUE(run_unix_command(L"rm -f " + prefix_devices + L"; ln -s '" + unix_path_of(root) + L"' " + prefix_devices));
    struct unmap {
        std::wstring link;
        ~unmap() { run_unix_command(L"rm -f " + link); }
    } unmapped{prefix_devices};
    ASSERT_TRUE(directory_exists(L"R:\\current")) << "no drive R: could be made";
    make_leftover(L"R:\\onefile_" + std::wstring(DEAD_PARENT) + L"_1");
    make_leftover(L"R:\\current\\onefile_" + std::wstring(DEAD_PARENT) + L"_1");
    temp_ = L"R:\\";
    EXPECT_EQ(run_until([&] { return gone(L"R:\\onefile_" + std::wstring(DEAD_PARENT) + L"_1"); },
                        L"exit 0", L"", L"R:\\current"), 0u);
    EXPECT_EQ(read_file(L"R:\\current\\onefile_" + std::wstring(DEAD_PARENT) + L"_1\\main.dll"), "left behind");
    temp_ = root;
}
