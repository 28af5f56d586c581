// End-to-end: which role a start takes from TALVOR_ONEFILE_PARENT, the run
// directory parent and child agree on, and later instances that join it.
#include <cwchar>

#include "tests/launcher/e2e_fixture.h"

namespace {

constexpr wchar_t PARENT[] = L"TALVOR_ONEFILE_PARENT";
constexpr wchar_t START[] = L"TALVOR_ONEFILE_START";
constexpr wchar_t INHERITED_START[] = L"12345";

uint64_t now_as_filetime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// A start time the launcher took itself: decimal FILETIME close to now.
bool is_fresh_start_time(const std::wstring& text) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    uint64_t value = wcstoull(text.c_str(), nullptr, 10);
    uint64_t now = now_as_filetime();
    constexpr uint64_t ten_minutes = 10ull * 60 * 10000000;
    return value <= now && now - value < ten_minutes;
}

enum class parent_value { absent, empty, not_a_number, out_of_range, foreign_process };

struct role_case {
    const char* label;
    parent_value value;
    bool start_kept;  // an inherited TALVOR_ONEFILE_START survives
};

class takes_parent_role : public launcher_end_to_end,
                          public ::testing::WithParamInterface<role_case> {};

}  // namespace

TEST_P(takes_parent_role, publishes_its_own_id_and_names_the_run_directory_from_it) {
    pack_probe();
    std::vector<environment_change> changes = {{START, INHERITED_START, false}};
    switch (GetParam().value) {
        case parent_value::absent: break;
        case parent_value::empty: changes.push_back({PARENT, L"", false}); break;
        case parent_value::not_a_number: changes.push_back({PARENT, L"12abc", false}); break;
        case parent_value::out_of_range:
            changes.push_back({PARENT, L"4294967296", false});
            break;
        case parent_value::foreign_process:
            // This test program: running, openable, another executable.
            changes.push_back({PARENT, std::to_wstring(GetCurrentProcessId()), false});
            break;
    }
    std::wstring report = report_path(L"report.bin");
    launched_process process;
    start(process, L"report " + in_quotes(report), changes);
    ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    ASSERT_EQ(process.exit_code(), 0u) << process.standard_output() << process.standard_error();

    probe_report seen = read_report(report);
    EXPECT_EQ(seen[PARENT], std::to_wstring(process.process_id()));
    if (GetParam().start_kept)
        EXPECT_EQ(seen[START], INHERITED_START);
    else
        EXPECT_TRUE(is_fresh_start_time(seen[START])) << printable(seen[START]);
    // Parent and child agree: the library was loaded from the directory the
    // child's inherited variables name.
    EXPECT_EQ(seen[REPORT_MODULE], run_directory_of(seen) + L"\\main.dll")
        << printable(seen[REPORT_MODULE]);
    EXPECT_TRUE(directory_names(temp_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    rows, takes_parent_role,
    ::testing::Values(role_case{"absent", parent_value::absent, true},
                      role_case{"empty", parent_value::empty, true},
                      role_case{"not_a_number", parent_value::not_a_number, false},
                      role_case{"out_of_range", parent_value::out_of_range, false},
                      role_case{"foreign_process", parent_value::foreign_process, false}),
    [](const ::testing::TestParamInfo<role_case>& info) { return info.param.label; });

// A start whose TALVOR_ONEFILE_PARENT names a running launcher of the same
// executable is a child of it, whoever started it.
TEST_F(launcher_end_to_end, start_naming_a_running_launcher_joins_its_run_directory) {
    pack_probe();
    std::wstring release = report_path(L"release");
    launched_process first;
    probe_report first_seen = start_held(first, release);
    ASSERT_FALSE(first_seen.empty());
    std::wstring first_id = std::to_wstring(first.process_id());
    ASSERT_EQ(first_seen[PARENT], first_id);

    // Both handshake variables: the same run directory, nothing unpacked anew.
    std::wstring joined_report = report_path(L"joined.bin");
    launched_process joined;
    start(joined, L"report " + in_quotes(joined_report),
          {{PARENT, first_id, false}, {START, first_seen[START], false}}, L"joined");
    ASSERT_TRUE(joined.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(joined.exit_code(), 0u) << joined.standard_output() << joined.standard_error();
    probe_report joined_seen = read_report(joined_report);
    EXPECT_EQ(joined_seen[REPORT_MODULE], first_seen[REPORT_MODULE]);
    EXPECT_EQ(joined_seen[PARENT], first_id);
    EXPECT_EQ(joined_seen[START], first_seen[START]);
    EXPECT_EQ(run_directories_in(temp_).size(), 1u);

    // The parent's id alone: still a child, but of a run directory named by a
    // fresh time, which nobody unpacked. The child writes nothing.
    launched_process stray;
    start(stray, L"exit 0", {{PARENT, first_id, false}}, L"stray");
    ASSERT_TRUE(stray.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(stray.exit_code(), 2u);
    EXPECT_EQ(stray.standard_error().compare(0, 17, "Error, load DLL. "), 0)
        << stray.standard_error();
    EXPECT_EQ(run_directories_in(temp_).size(), 1u);

    ASSERT_TRUE(write_file(release, ""));
    ASSERT_TRUE(first.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(first.exit_code(), 0u);
    EXPECT_TRUE(directory_names(temp_).empty());
}

// The application starts its own launcher again, as a program that runs
// helper copies of itself does: the copy joins the same run directory.
TEST_F(launcher_end_to_end, nested_start_from_the_application_joins_the_run_directory) {
    pack_probe();
    std::wstring outer_report = report_path(L"outer.bin");
    std::wstring inner_report = report_path(L"inner.bin");
    EXPECT_EQ(run(L"report " + in_quotes(outer_report) + L" nested " + in_quotes(inner_report) +
                  L" exit 5"),
              5u)
        << last_output_ << last_error_;
    probe_report outer = read_report(outer_report);
    probe_report inner = read_report(inner_report);
    ASSERT_FALSE(inner.empty());
    EXPECT_NE(inner[REPORT_PROCESS_ID], outer[REPORT_PROCESS_ID]);
    EXPECT_EQ(inner[PARENT], outer[PARENT]);
    EXPECT_EQ(inner[START], outer[START]);
    EXPECT_EQ(inner[REPORT_MODULE], outer[REPORT_MODULE]);
    EXPECT_EQ(inner[REPORT_MODULE], run_directory_of(inner) + L"\\main.dll");
    EXPECT_TRUE(directory_names(temp_).empty());
}
