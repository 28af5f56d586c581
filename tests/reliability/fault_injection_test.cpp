// Every failure the launcher reports or ends on, made to happen in a real
// launcher process (launcher_faults.exe, packed like the product) by failing
// one call of its `win32` table. Each case checks the exact bytes on both
// streams, the exit status and what stays on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "format/archive_format.h"
#include "platform/win32_api.h"
#include "tests/launcher/payload_archives.h"
#include "tests/launcher/e2e_fixture.h"
#include "tests/reliability/fault_injection.h"

namespace {

constexpr DWORD ABORT_STATUS = 3;       // msvcrt's abort()
constexpr size_t BIG_ENTRY_SIZE = 100000;  // four chunks: 3 x 32768 + 1696
constexpr size_t CHUNK = 32768;

// What a text-mode stream of the runtime makes of a line: every LF becomes
// CR LF, also one that a CR already precedes.
std::string text_mode(const std::string& text) {
    std::string out;
    for (char byte : text) {
        if (byte == '\n') out += '\r';
        out += byte;
    }
    return out;
}

// The system's English text for a code, as the launcher looks it up, without
// the line break and spaces that end it (the report stays one line).
std::string system_text(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text != nullptr ? text : "unknown error";
    LocalFree(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n' || result.back() == ' '))
        result.pop_back();
    return result;
}

std::string system_error_line(const char* message, DWORD code) {
    return text_mode(std::string(message) + " ([Error " +
                     std::to_string(static_cast<long>(static_cast<int32_t>(code))) + "] " +
                     system_text(code) + ")\n");
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

class launcher_under_faults : public launcher_end_to_end {
protected:
    // The probe as main.dll, a 100000-byte entry, and a file two levels down.
    void pack_three_entries() {
        library_ = probe_library();
        ASSERT_FALSE(library_.empty());
        big_.assign(BIG_ENTRY_SIZE, '\0');
        for (size_t i = 0; i < big_.size(); ++i) big_[i] = static_cast<char>(i * 7 + 1);
        pack({{L"main.dll", library_},
              {L"big.bin", big_},
              {L"data\\nested\\notes.txt", "packed beside the library"}});
    }

    DWORD run_with_faults(const std::wstring& faults, const std::wstring& tail = L"exit 7",
                          const std::wstring& report = L"") {
        if (report.empty()) return run(tail, {{FAULTS_VARIABLE, faults, false}});
        return run(tail, {{FAULTS_VARIABLE, faults, false}, {REPORT_VARIABLE, report, false}});
    }

    // The one run directory in this test's TEMP, or "" when there is none.
    std::wstring run_directory() {
        std::vector<std::wstring> names = run_directories_in(temp_);
        EXPECT_LE(names.size(), 1u) << "more than one run directory";
        if (names.size() != 1) return std::wstring();
        EXPECT_EQ(names[0].rfind(L"onefile_", 0), 0u) << printable(names[0]);
        return temp_ + L"\\" + names[0];
    }

    void expect_nothing_on_disk() { EXPECT_TRUE(directory_names(temp_).empty()); }

    size_t main_dll_chunks() const { return (library_.size() + CHUNK - 1) / CHUNK; }

    // A cache's first start under `fault` (its calls recorded in `report`,
    // when given) deletes its staging directory and runs from TEMP; the next
    // one, with room again, builds the cache, whose big.bin holds `big`.
    void expect_cache_falls_back_and_heals(const std::wstring& fault, const std::string& big,
                                           const std::wstring& report = L"") {
        std::wstring caches = folder_ + L"\\caches";
        ASSERT_TRUE(set_run_directory_template(exe_, caches + L"\\app", 1));
        EXPECT_EQ(run_with_faults(fault, L"exit 7", report), 7u) << last_output_ << last_error_;
        EXPECT_EQ(last_output_ + last_error_, "");
        EXPECT_TRUE(directory_names(caches).empty()) << printable(directory_names(caches)[0]);
        EXPECT_TRUE(directory_names(temp_).empty());
        EXPECT_EQ(run(L"exit 7"), 7u);
        EXPECT_TRUE(read_file(caches + L"\\app\\big.bin") == big);
        EXPECT_TRUE(directory_names(temp_).empty());
    }

    std::string library_;
    std::string big_;
};

// --- console events while unpacking -----------------------------------------

// The image's subsystem made console (3), as `onefile-pack --console` does:
// a windowed program gets no console of its own to send an event to.
bool make_console_program(const std::wstring& image) {
    std::string bytes = read_file(image);
    if (bytes.size() < 0x40) return false;
    uint32_t header = 0;
    std::memcpy(&header, &bytes[0x3C], sizeof header);
    constexpr size_t SUBSYSTEM_IN_OPTIONAL_HEADER = 68;
    size_t subsystem = header + 24 + SUBSYSTEM_IN_OPTIONAL_HEADER;
    if (subsystem + 2 > bytes.size()) return false;
    bytes[subsystem] = IMAGE_SUBSYSTEM_WINDOWS_CUI;
    bytes[subsystem + 1] = 0;
    return write_file(image, bytes);
}

// Ctrl+C from the console while unpacking (held inside
// big.bin): the launcher ends with STATUS_CONTROL_C_EXIT, starts no child
// and deletes all it wrote, lock file included; a user's file beside stays.
TEST_F(launcher_under_faults, a_console_event_while_unpacking_ends_with_its_status_and_leaves_nothing) {
    pack_three_entries();
    ASSERT_TRUE(make_console_program(exe_));
    std::wstring outside = temp_ + L"\\users_file.txt";
    ASSERT_TRUE(write_file(outside, "the user's"));
    // Ctrl+Break takes the same way through the handler (its unit test,
    // console_handler); Wine 8 refuses to send it here (error 6).
    for (DWORD event : {CTRL_C_EVENT}) {
        std::wstring report = report_path(L"faults.txt");
        // Write 1 is the lock file's mark; the second chunk of big.bin waits.
        std::wstring hold = L"parent:WriteFile@" + std::to_wstring(main_dll_chunks() + 3) + L"~";
        launched_process process;
        process.extra_flags = CREATE_NEW_CONSOLE;
        start(process, L"exit 7", {{FAULTS_VARIABLE, hold, false}, {REPORT_VARIABLE, report, false}});
        ASSERT_TRUE(wait_for_file(report + L".paused", LAUNCHER_TIMEOUT_MS));
        FreeConsole();
        bool sent = AttachConsole(process.process_id()) &&
                    SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE) &&
                    GenerateConsoleCtrlEvent(event, 0);
        FreeConsole();
        EXPECT_TRUE(sent) << GetLastError();
        EXPECT_TRUE(wait_for_file(report + L".handled", LAUNCHER_TIMEOUT_MS));
        ASSERT_TRUE(write_file(report + L".resume", ""));
        ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
        EXPECT_EQ(process.exit_code(), 0xC000013Au);
        EXPECT_EQ(process.standard_output() + process.standard_error(), "");
        std::vector<std::wstring> left = directory_names(temp_);
        EXPECT_EQ(left, std::vector<std::wstring>{L"users_file.txt"});
        EXPECT_EQ(read_file(outside), "the user's");
        std::string recorded = read_file(report);
        EXPECT_NE(recorded.find("child_process_id=0\n"), std::string::npos) << recorded;
        EXPECT_EQ(recorded.find("misuse="), std::string::npos) << recorded;
    }
}

// --- failures while unpacking: status 2, the partly written directory stays

TEST_F(launcher_under_faults, failing_to_create_the_third_file_names_it_and_keeps_the_first_two) {
    pack_three_entries();
    // Calls 1 to 3 are the lock file beside the run directory, the folder
    // it is held through and the folder the clean-up deletes it through.
    EXPECT_EQ(run_with_faults(L"parent:CreateFileW@6:5"), 2u);
    std::wstring directory = run_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(last_output_, "");
    EXPECT_EQ(last_error_, "Error, failed to open '" + narrow(directory) +
                               "\\data\\nested\\notes.txt' for writing.\r\n");
    EXPECT_EQ(read_file(directory + L"\\main.dll"), library_);
    EXPECT_EQ(read_file(directory + L"\\big.bin"), big_);
    EXPECT_FALSE(file_exists(directory + L"\\data\\nested\\notes.txt"));
}

TEST_F(launcher_under_faults, a_write_failing_inside_an_entry_keeps_the_chunks_written_before) {
    pack_three_entries();
    // The second chunk of big.bin (the first write is the lock file's mark).
    std::wstring fault = L"parent:WriteFile@" + std::to_wstring(main_dll_chunks() + 3) + L":112";
    EXPECT_EQ(run_with_faults(fault), 2u);
    std::wstring directory = run_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(last_output_, "");
    EXPECT_EQ(last_error_,
              system_error_line("Error, couldn't unpack file to target path.", 112));
    EXPECT_EQ(read_file(directory + L"\\main.dll"), library_);
    EXPECT_EQ(read_file(directory + L"\\big.bin"), big_.substr(0, CHUNK));
    EXPECT_FALSE(directory_exists(directory + L"\\data"));
}

// A cache's volume full while it is built: that start deletes its staging
// directory and runs from TEMP; the next one, with room again, builds it.
TEST_F(launcher_under_faults, a_full_volume_while_a_cache_is_built_falls_back_and_heals) {
    pack_three_entries();
    // Write 1 is the staging directory's lock mark, 2 its cache mark, 3 the
    // first file's first chunk.
    expect_cache_falls_back_and_heals(L"parent:WriteFile@3:112", big_);
}

// The digest is recorded once the application has started and the files
// are on the disk. When it cannot be written, that start still runs from
// the cache, but no later start trusts it: the next one builds it again
// (a file changed meanwhile, same size, comes back as the payload's).
TEST_F(launcher_under_faults, a_cache_whose_digest_was_not_recorded_is_never_trusted) {
    pack_three_entries();
    std::wstring caches = folder_ + L"\\caches", report = report_path(L"faults.txt");
    ASSERT_TRUE(set_run_directory_template(exe_, caches + L"\\app", 1));
    // After the two marks and every chunk of the three files.
    std::wstring fault = L"parent:WriteFile@" + std::to_wstring(main_dll_chunks() + 8) + L":112";
    EXPECT_EQ(run_with_faults(fault, L"exit 7", report), 7u) << last_output_ << last_error_;
    EXPECT_TRUE(directory_names(temp_).empty()) << "the first start ran from TEMP";
    std::string recorded = read_file(report);
    EXPECT_NE(recorded.find("ended_by=exit"), std::string::npos) << recorded;
    EXPECT_EQ(recorded.find("misuse="), std::string::npos) << recorded;
    std::string changed = big_;
    changed[0] ^= 1;
    ASSERT_TRUE(write_file(caches + L"\\app\\big.bin", changed));
    EXPECT_EQ(run(L"exit 7"), 7u);
    EXPECT_TRUE(read_file(caches + L"\\app\\big.bin") == big_) << "an unrecorded cache was trusted";
    EXPECT_TRUE(directory_names(temp_).empty());
}

// A cache's staging directory is held from its making to its rename into
// place and renamed through that hold: at the moment of the rename nobody
// can move it away and put a folder of their own there, which would then
// go into the cache's place.
TEST_F(launcher_under_faults, a_staging_directory_is_held_up_to_its_rename_into_place) {
    pack_three_entries();
    std::wstring caches = folder_ + L"\\caches", report = report_path(L"faults.txt");
    ASSERT_TRUE(set_run_directory_template(exe_, caches + L"\\app", 1));
    launched_process process;
    start(process, L"exit 7",
          {{FAULTS_VARIABLE, L"parent:NtSetInformationFile@1~", false}, {REPORT_VARIABLE, report, false}});
    ASSERT_TRUE(wait_for_file(report + L".paused", LAUNCHER_TIMEOUT_MS));
    std::wstring staging;
    for (const std::wstring& name : directory_names(caches))
        if (name.find(L".staging_") != std::wstring::npos && name.find(L".lock") == std::wstring::npos)
            staging = caches + L"\\" + name;
    ASSERT_FALSE(staging.empty());
    bool moved = MoveFileExW(staging.c_str(), (folder_ + L"\\aside").c_str(), 0) != FALSE;
    if (moved) {
        ASSERT_TRUE(CreateDirectoryW(staging.c_str(), nullptr));
        ASSERT_TRUE(write_file(staging + L"\\mine.txt", "the user's"));
    }
    ASSERT_TRUE(write_file(report + L".resume", ""));
    EXPECT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(process.exit_code(), 7u);
    EXPECT_FALSE(moved) << "the staging directory could be moved away before its rename";
    if (moved) {
        EXPECT_EQ(read_file(staging + L"\\mine.txt"), "the user's");
    }
    EXPECT_TRUE(read_file(caches + L"\\app\\big.bin") == big_) << "the cache is not the payload's";
}

// The same with a compressed payload, whose pieces the worker threads write:
// the failed write is found, every file is closed and the staging deleted.
TEST_F(launcher_under_faults, a_full_volume_under_the_decoding_threads_falls_back_and_heals) {
    library_ = probe_library();
    std::string big = text_like(6 * PIECE_SIZE + 5, 8);
    pack_bytes(compressed_archive({{L"main.dll", library_}, {L"big.bin", big}, {L"z.txt", "after"}}));
    // Write 3 is the first piece, write 5 one of big.bin's on a worker.
    expect_cache_falls_back_and_heals(L"parent:WriteFile@5:112", big);
}

// The run directory is made new, alone: a failure names it, and nothing is
// written into it (its lock file stays for a later start's sweep).
TEST_F(launcher_under_faults, a_run_directory_that_cannot_be_made_is_named_and_nothing_is_written) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:CreateDirectoryW@1+:5"), 2u);
    EXPECT_EQ(last_output_, "");
    const std::string prefix = "Error, failed to open '" + narrow(temp_) + "\\onefile_";
    const std::string suffix = "' for writing.\r\n";
    ASSERT_GT(last_error_.size(), prefix.size() + suffix.size());
    EXPECT_EQ(last_error_.substr(0, prefix.size()), prefix);
    EXPECT_EQ(last_error_.substr(last_error_.size() - suffix.size()), suffix);
    EXPECT_EQ(last_error_.find('\\', prefix.size()), std::string::npos) << last_error_;
    EXPECT_TRUE(run_directories_in(temp_).empty());
}

TEST_F(launcher_under_faults, a_subdirectory_failing_on_the_way_up_is_made_on_the_way_down) {
    pack_three_entries();
    // Call 2 is data\nested, whose parent is missing anyway; the walk makes
    // data and tries data\nested again.
    EXPECT_EQ(run_with_faults(L"parent:CreateDirectoryW@2:5", L"exit 7"), 7u);
    EXPECT_EQ(last_output_ + last_error_, "");
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, subdirectories_that_cannot_be_made_fail_the_file_below_them) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:CreateDirectoryW@2+:5"), 2u);
    std::wstring directory = run_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(last_error_, "Error, failed to open '" + narrow(directory) +
                               "\\data\\nested\\notes.txt' for writing.\r\n");
    EXPECT_EQ(read_file(directory + L"\\big.bin"), big_);
    EXPECT_FALSE(directory_exists(directory + L"\\data"));
}

// --- failures around the child

TEST_F(launcher_under_faults, a_child_that_cannot_be_started_leaves_the_whole_directory) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:CreateProcessW@1:2"), 2u);
    EXPECT_EQ(last_output_, "");
    EXPECT_EQ(last_error_, system_error_line("Error, couldn't launch child", 2));
    std::wstring directory = run_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(read_file(directory + L"\\main.dll"), library_);
    EXPECT_EQ(read_file(directory + L"\\big.bin"), big_);
    EXPECT_EQ(read_file(directory + L"\\data\\nested\\notes.txt"), "packed beside the library");
}

TEST_F(launcher_under_faults, an_unreadable_child_status_becomes_1_and_the_directory_goes) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:GetExitCodeProcess@1:6", L"exit 7"), 1u);
    EXPECT_EQ(last_output_ + last_error_, "");
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, a_handler_that_cannot_be_registered_ends_before_anything_is_written) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:SetConsoleCtrlHandler@1:87"), 2u);
    EXPECT_EQ(last_output_, "Error, failed to register signal handler.\r\n");
    EXPECT_EQ(last_error_, "");
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, the_child_registers_no_handler) {
    pack_three_entries();
    // Every registration in the child would fail; the run is unaffected.
    EXPECT_EQ(run_with_faults(L"child:SetConsoleCtrlHandler@1+:87", L"exit 7"), 7u);
    EXPECT_EQ(last_output_ + last_error_, "");
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, a_library_the_child_cannot_load_ends_both_with_2_and_no_directory) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"child:LoadLibraryExW@1:126"), 2u);
    EXPECT_EQ(last_output_, "");
    EXPECT_EQ(last_error_, system_error_line("Error, load DLL.", 126));
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, a_missing_run_code_is_told_on_standard_output_and_ends_with_2) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"child:GetProcAddress(run_code)@1:127"), 2u);
    EXPECT_EQ(last_output_, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(last_error_, "");
    expect_nothing_on_disk();
}

// Reading the parent's module path from its memory can be refused (a tracer
// holding the parent, under strace with Wine 8). The child must still know its
// parent: otherwise it starts a child of its own that fails alike, forever.
TEST_F(launcher_under_faults, a_child_that_cannot_read_its_parents_memory_still_knows_it) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"child:K32GetModuleFileNameExW@1+:5", L"exit 7"), 7u);
    EXPECT_EQ(last_output_ + last_error_, "");
    expect_nothing_on_disk();
}

TEST_F(launcher_under_faults, a_child_without_library_directory_support_still_runs) {
    pack_three_entries();
    // AddDllDirectory's result is not examined.
    EXPECT_EQ(run_with_faults(L"child:AddDllDirectory@1:87", L"exit 7"), 7u);
    EXPECT_EQ(last_output_ + last_error_, "");
}

// A child whose loads by name would still search the launcher's folder, the
// current folder and PATH loads nothing.
TEST_F(launcher_under_faults, a_child_that_cannot_narrow_the_library_search_loads_nothing) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"child:SetDefaultDllDirectories@1:87", L"exit 7"), 2u);
    EXPECT_EQ(last_error_, system_error_line("Error, load DLL.", 87));
    expect_nothing_on_disk();
}

// --- the payload resource

TEST_F(launcher_under_faults, a_missing_payload_resource_ends_in_order_in_both_steps) {
    pack_three_entries();
    for (const wchar_t* fault : {L"FindResourceA@1:1813", L"LoadResource@1:1812",
                                 L"LockResource@1:1812"}) {
        SCOPED_TRACE(printable(fault));
        EXPECT_EQ(run_with_faults(fault), 2u);
        EXPECT_EQ(last_output_, "Error, couldn't find attached data.\r\n");
        EXPECT_EQ(last_error_, "");
        expect_nothing_on_disk();
    }
}

// --- broken limits: abnormal end, no message of the launcher's own

TEST_F(launcher_under_faults, an_unreadable_own_module_path_ends_abnormally_before_the_launch) {
    pack_three_entries();
    EXPECT_EQ(run_with_faults(L"parent:GetModuleFileNameW@1+:122"), ABORT_STATUS);
    EXPECT_EQ(last_output_, "");
    EXPECT_EQ(last_error_.find("Error, "), std::string::npos) << last_error_;
    // Unpacking had finished; nothing deletes the directory on this path.
    std::wstring directory = run_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(read_file(directory + L"\\big.bin"), big_);
}

TEST_F(launcher_under_faults, reject_fault_lists_they_cannot_parse) {
    fault_item item;
    EXPECT_TRUE(parse_fault_item(L"child:GetProcAddress(run_code)@2+:0x7F", item));
    EXPECT_EQ(item.role, L"child");
    EXPECT_EQ(item.function, L"GetProcAddress");
    EXPECT_EQ(item.filter, "run_code");
    EXPECT_EQ(item.index, 2);
    EXPECT_TRUE(item.from_then_on);
    EXPECT_FALSE(item.pause);
    EXPECT_EQ(item.code, 127u);
    EXPECT_TRUE(parse_fault_item(L"NtSetInformationFile@1~", item));
    EXPECT_TRUE(item.pause);
    EXPECT_FALSE(parse_fault_item(L"sibling:CreateFileW@1", item));
    EXPECT_FALSE(parse_fault_item(L"CreateFileW", item));
    EXPECT_FALSE(parse_fault_item(L"CreateFileW@x", item));
    EXPECT_FALSE(parse_fault_item(L"CreateFileW@1:", item));
    EXPECT_TRUE(parse_fault_item(L"parent:CreateFileW@5~700", item));
    EXPECT_EQ(item.hold_ms, 700u);
    EXPECT_EQ(item.code, DEFAULT_FAULT_CODE);
}

}  // namespace

namespace {

// TALVOR_ONEFILE_START names the run directory, which the parent fills and
// deletes; a stray value with ".." components must not move either out of
// TEMP. The launcher takes a fresh start time instead.
TEST_F(launcher_under_faults, an_inherited_start_time_with_dot_dot_stays_in_temp) {
    pack_three_entries();
    std::wstring victim = folder_ + L"\\victim";
    ASSERT_TRUE(CreateDirectoryW(victim.c_str(), nullptr));
    ASSERT_TRUE(write_file(victim + L"\\keep.txt", "a file of the user's"));
    // TEMP\onefile_<pid>_1\..\..\victim would be the folder beside TEMP.
    DWORD status = run(L"exit 7", {{L"TALVOR_ONEFILE_START", L"1\\..\\..\\victim", false}});
    EXPECT_EQ(status, 7u);
    EXPECT_TRUE(directory_exists(victim));
    EXPECT_TRUE(file_exists(victim + L"\\keep.txt"));
    EXPECT_FALSE(file_exists(victim + L"\\main.dll"));
}

}  // namespace

// --- every function of the `win32` list

namespace {

constexpr int PARENT = 0, CHILD = 1;
const wchar_t* const ROLE_NAMES[] = {L"parent", L"child"};

// What the fault module's reports of one start say: each role's calls.
struct run_record {
    std::map<std::string, long> calls[2];
    bool reported = false;  // the parent wrote its report
};

std::wstring widen(const char* text) { return std::wstring(text, text + strlen(text)); }

// Reads the call counts of a report; a misused handle fails the test.
void read_report(const std::wstring& path, std::map<std::string, long>& calls) {
    std::string text = read_file(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (line.rfind("calls.", 0) == 0 && equals != std::string::npos)
            calls[line.substr(6, equals - 6)] = atol(line.c_str() + equals + 1);
        if (line.rfind("misuse=", 0) == 0) ADD_FAILURE() << line;
        start = end + 1;
    }
}

// A start in a given state, with faults of its own: together they reach
// every function of the list.
struct scenario {
    const char* name;
    bool cache;             // a cache run directory
    const wchar_t* before;  // faults of a start made first; nullptr: none made
    const wchar_t* faults;  // of the start that counts
    DWORD status;           // its status
};
const scenario scenarios[] = {
    {"a start", false, nullptr, L"", 7},
    {"a cache built", true, nullptr, L"", 7},
    {"a cache used", true, L"", L"", 7},
    {"an unrecorded cache replaced", true, L"parent:FlushFileBuffers@1+", L"", 7},
    {"a leftover swept", false, L"parent:CreateProcessW@1:2", L"", 7},
    {"a parent known by its image name", false, nullptr, L"child:K32GetModuleFileNameExW@1+:5", 7},
    {"a reported failure", false, nullptr, L"child:LoadLibraryExW@1:126", 2},
    {"a failure told in a box", false, nullptr,
     L"child:LoadLibraryExW@1:126,GetFileType@1+:6,MessageBoxW@1+", 2},
    {"a progress window", false, nullptr, L"parent:CreateFileW@5~700", 7},
    {"a run directory that cannot be listed", false, nullptr, L"parent:NtQueryDirectoryFile@1+", 7},
};

class every_listed_function : public launcher_under_faults {
protected:
    // Runs `test` from a fresh TEMP holding a user's folder named like a
    // leftover, beside a user's folder where caches go; both must survive.
    DWORD run_scenario(const scenario& test, const std::wstring& extra_faults, run_record& record) {
        std::wstring caches = folder_ + L"\\caches";
        remove_tree(temp_);
        remove_tree(caches);
        EXPECT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
        EXPECT_TRUE(CreateDirectoryW(caches.c_str(), nullptr));
        const std::wstring users[] = {temp_ + L"\\onefile_1_1", caches + L"\\notes"};
        for (const std::wstring& folder : users) {
            EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            EXPECT_TRUE(write_file(folder + L"\\notes.txt", "the user's own"));
        }
        pack_three_entries();
        if (test.cache) {
            EXPECT_TRUE(set_run_directory_template(exe_, caches + L"\\app", 1));
        }
        if (test.before != nullptr) run_with_faults(test.before);
        std::wstring report = folder_ + L"\\report.txt";
        DeleteFileW(report.c_str());
        DeleteFileW((report + L".child").c_str());
        std::wstring faults = test.faults;
        if (!extra_faults.empty()) faults += (faults.empty() ? L"" : L",") + extra_faults;
        launched_process process;
        start(process, L"exit 7", {{FAULTS_VARIABLE, faults, false}, {REPORT_VARIABLE, report, false}});
        EXPECT_TRUE(process.wait(FAULT_RUN_TIMEOUT_MS)) << "the launcher did not end";
        last_output_ = process.standard_output();
        last_error_ = process.standard_error();
        record.reported = !read_file(report).empty();
        read_report(report, record.calls[PARENT]);
        read_report(report + L".child", record.calls[CHILD]);
        for (const std::wstring& folder : users)
            EXPECT_EQ(read_file(folder + L"\\notes.txt"), "the user's own") << printable(folder);
        return process.exit_code();
    }

    static constexpr DWORD FAULT_RUN_TIMEOUT_MS = 20000;
};

// A function nobody calls any more shows here, and each one that can fail
// fails once in a start that calls it. That start ends with the
// application's status, a reported failure, an unreadable status or an
// abnormal end, never a crash or a hang; it misuses no handle and leaves
// the user's folders alone.
TEST_F(every_listed_function, is_called_and_fails_soundly) {
    struct place {
        const scenario* test;
        int role;
    };
    std::map<std::string, std::vector<place>> seen;
    for (const scenario& test : scenarios) {
        SCOPED_TRACE(test.name);
        run_record record;
        EXPECT_EQ(run_scenario(test, L"", record), test.status);
        EXPECT_TRUE(record.reported);
        for (int role : {PARENT, CHILD})
            for (const auto& call : record.calls[role])
                if (call.second > 0) seen[call.first].push_back({&test, role});
    }
    // No start here goes where these are called: the console handler stops a
    // child that outlives its grace (launcher_console_handler_test does), and
    // the deleter removes by handle where it cannot by descriptor (Wine on a
    // Linux host) and the other way round (platform_tree_deleter_win_test).
    std::vector<std::string> elsewhere = {"TerminateProcess"};
    if (win32_system.linux_call != nullptr) {
        elsewhere.push_back("SetFileInformationByHandle");
    } else {
        elsewhere.insert(elsewhere.end(), {"wine_server_handle_to_fd", "linux_call"});
    }
    for (const listed_function& function : listed_functions()) {
        SCOPED_TRACE(function.name);
        if (std::find(elsewhere.begin(), elsewhere.end(), function.name) != elsewhere.end()) continue;
        const std::vector<place>& places = seen[function.name];
        if (places.empty()) ADD_FAILURE() << "never called";
        if (!function.can_fail) continue;
        // Where it was called; a call that depends on timing (the progress
        // window of a slow start) may not come again, then the next place.
        bool failed_once = false;
        for (size_t at = 0; at < places.size() && !failed_once; ++at) {
            const place& where = places[at];
            SCOPED_TRACE(where.test->name);
            run_record record;
            DWORD status = run_scenario(*where.test,
                                        std::wstring(ROLE_NAMES[where.role]) + L":" +
                                            widen(function.name) + L"@1",
                                        record);
            EXPECT_TRUE(status == 7 || status == 1 || status == 2 || status == ABORT_STATUS) << status;
            if (status == 2) {
                EXPECT_EQ((last_output_ + last_error_).rfind("Error, ", 0), 0u);
            }
            // An abnormal end writes no report.
            EXPECT_TRUE(record.reported || status == ABORT_STATUS);
            failed_once = !record.reported || record.calls[where.role][function.name] >= 1;
        }
        EXPECT_TRUE(failed_once || places.empty()) << "never failed";
    }
}

}  // namespace
