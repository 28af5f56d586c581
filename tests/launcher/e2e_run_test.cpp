// End-to-end: a packed launcher under Wine, started with an exact command
// line; the exit status that comes back, the messages of the failures and
// what stays on disk. What the application sees, and the statuses with the
// top bit set, the pack matrix checks in every combination of options.
#include <set>

#include "tests/launcher/e2e_fixture.h"

namespace {

struct status_case {
    const char* label;
    const wchar_t* script;
    DWORD expected;
};

class passes_exit_status : public launcher_end_to_end,
                           public ::testing::WithParamInterface<status_case> {};

}  // namespace

TEST_P(passes_exit_status, as_the_full_32_bit_value_and_deletes_the_run_directory) {
    pack_probe();
    EXPECT_EQ(run(GetParam().script), GetParam().expected) << last_output_ << last_error_;
    EXPECT_TRUE(directory_names(temp_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    statuses, passes_exit_status,
    ::testing::Values(status_case{"zero", L"exit 0", 0}, status_case{"one", L"exit 1", 1},
                      status_case{"no_exit", L"sleep 1", 0},
                      status_case{"access_violation", L"crash", 0xC0000005}),
    [](const ::testing::TestParamInfo<status_case>& info) { return info.param.label; });

TEST_F(launcher_end_to_end, missing_entry_point_is_reported_on_standard_output) {
    std::string library = read_file(windows_path(PROBE_NO_ENTRY_LIBRARY));
    ASSERT_FALSE(library.empty());
    pack({{L"main.dll", library}});
    EXPECT_EQ(run(L""), 2u);
    EXPECT_EQ(last_output_, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(last_error_, "");
    // The child failed, not the parent: the parent's normal end deletes.
    EXPECT_TRUE(directory_names(temp_).empty());
}

TEST_F(launcher_end_to_end, unloadable_library_is_reported_with_the_system_error) {
    pack({{L"main.dll", "this text is not a library"}});
    EXPECT_EQ(run(L""), 2u);
    EXPECT_EQ(last_output_, "");
    // ERROR_BAD_EXE_FORMAT; the system's text keeps its own line break.
    const std::string prefix = "Error, load DLL. ([Error 193] ";
    EXPECT_EQ(last_error_.compare(0, prefix.size(), prefix), 0) << last_error_;
    ASSERT_GT(last_error_.size(), prefix.size() + 3);
    EXPECT_EQ(last_error_.substr(last_error_.size() - 3), ")\r\n") << last_error_;
    EXPECT_TRUE(directory_names(temp_).empty());
}

namespace {

struct header_case {
    const char* label;
    std::string bytes;
};

class rejects_header : public launcher_end_to_end,
                       public ::testing::WithParamInterface<header_case> {};

}  // namespace

TEST_P(rejects_header, before_anything_is_written) {
    std::string archive = archive_bytes({{L"main.dll", probe_library()}});
    archive.replace(0, 3, GetParam().bytes);
    pack_bytes(archive);
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(last_error_, "");
    EXPECT_TRUE(directory_names(temp_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    headers, rejects_header,
    ::testing::Values(header_case{"last_byte", "KAY"}, header_case{"lower_case", "kax"},
                      header_case{"zeros", std::string(3, '\0')}),
    [](const ::testing::TestParamInfo<header_case>& info) { return info.param.label; });

TEST_F(launcher_end_to_end, header_alone_is_rejected) {
    pack_bytes("KA");
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, couldn't find attached data header.\r\n");
    EXPECT_TRUE(directory_names(temp_).empty());
}

// The child meets the end marker first: it has no library to load and must
// not start yet another instance.
TEST_F(launcher_end_to_end, archive_without_entries_ends_with_one_message) {
    pack({});
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, attached data holds no application library.\r\n");
    EXPECT_EQ(last_error_, "");
    EXPECT_TRUE(directory_names(temp_).empty());
}

TEST_F(launcher_end_to_end, archive_cut_inside_the_first_entry_writes_nothing) {
    std::string archive = archive_bytes({{L"main.dll", probe_library()}});
    pack_bytes(archive.substr(0, 3 + 18 + 8 + 100));
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, attached data is damaged.\r\n");
    EXPECT_TRUE(directory_names(temp_).empty());
}

// A failure of the parent itself leaves what it had written.
TEST_F(launcher_end_to_end, archive_cut_inside_a_later_entry_leaves_what_was_written) {
    std::string library = probe_library();
    std::string archive =
        archive_bytes({{L"main.dll", library}, {L"data\\big.bin", std::string(5000, 'x')}});
    pack_bytes(archive.substr(0, archive.size() - 3000));
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, attached data is damaged.\r\n");
    std::vector<std::wstring> left = run_directories_in(temp_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].compare(0, 8, L"onefile_"), 0);
    EXPECT_EQ(read_file(temp_ + L"\\" + left[0] + L"\\main.dll"), library);
    EXPECT_FALSE(file_exists(temp_ + L"\\" + left[0] + L"\\data\\big.bin"));
}

TEST_F(launcher_end_to_end, six_launchers_at_once_each_use_their_own_run_directory) {
    pack_probe();
    constexpr int count = 6;
    launched_process processes[count];
    std::wstring reports[count];
    std::wstring release = report_path(L"release");
    for (int index = 0; index < count; ++index) {
        reports[index] = report_path((L"report" + std::to_wstring(index)).c_str());
        start(processes[index],
              L"report " + in_quotes(reports[index]) + L" await " + in_quotes(release), {},
              L"launcher" + std::to_wstring(index));
    }
    for (const std::wstring& report : reports) ASSERT_FALSE(wait_for_report(report, 30000).empty());

    // All six are running: the directories their parents unpacked are the
    // ones their children name from the handshake variables, one each.
    std::set<std::wstring> named;
    for (int index = 0; index < count; ++index) {
        probe_report seen = read_report(reports[index]);
        EXPECT_EQ(seen[L"TALVOR_ONEFILE_PARENT"], std::to_wstring(processes[index].process_id()));
        EXPECT_EQ(seen[REPORT_MODULE], run_directory_of(seen) + L"\\main.dll");
        named.insert(run_directory_of(seen).substr(temp_.size() + 1));
    }
    std::vector<std::wstring> unpacked = run_directories_in(temp_);
    EXPECT_EQ(named.size(), static_cast<size_t>(count));
    EXPECT_EQ(std::set<std::wstring>(unpacked.begin(), unpacked.end()), named);

    ASSERT_TRUE(write_file(release, ""));
    for (launched_process& process : processes) {
        ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
        EXPECT_EQ(process.exit_code(), 0u);
    }
    EXPECT_TRUE(directory_names(temp_).empty());
}

TEST_F(launcher_end_to_end, library_in_a_subdirectory_is_loaded_from_there) {
    std::string library = probe_library();
    pack({{L"app\\bin\\main.dll", library}, {L"readme.txt", "beside"}});
    std::wstring report = report_path(L"report.bin");
    EXPECT_EQ(run(L"report " + in_quotes(report)), 0u) << last_output_ << last_error_;
    probe_report seen = read_report(report);
    EXPECT_EQ(seen[REPORT_MODULE], run_directory_of(seen) + L"\\app\\bin\\main.dll")
        << printable(seen[REPORT_MODULE]);
    EXPECT_TRUE(directory_names(temp_).empty());
}

// The bare stub, as the build leaves it before packing.
TEST_F(launcher_end_to_end, stub_without_payload_ends_with_a_message) {
    ASSERT_TRUE(CopyFileW(windows_path(LAUNCHER_STUB).c_str(), exe_.c_str(), FALSE));
    EXPECT_EQ(run(L"exit 0"), 2u);
    EXPECT_EQ(last_output_, "Error, couldn't find attached data.\r\n");
    EXPECT_TRUE(directory_names(temp_).empty());
}
