// Per-test folders, packing and starting for the end-to-end tests.
#include "tests/launcher/e2e_fixture.h"

namespace {

std::wstring widen_ascii(const char* text) {
    std::wstring wide;
    for (; *text != 0; ++text) wide += *text == '/' ? L'_' : static_cast<wchar_t>(*text);
    return wide;
}

}  // namespace

std::wstring in_quotes(const std::wstring& text) { return L"\"" + text + L"\""; }

void launcher_end_to_end::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::wstring work = test_program_folder() + L"\\e2e_work";
    CreateDirectoryW(work.c_str(), nullptr);
    folder_ = work + L"\\" + widen_ascii(info->test_suite_name()) + L"." +
              widen_ascii(info->name());
    remove_tree(folder_);
    temp_ = folder_ + L"\\temp";
    current_ = folder_ + L"\\current";
    exe_ = folder_ + L"\\app.exe";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(current_.c_str(), nullptr));
}

void launcher_end_to_end::TearDown() {
    if (!HasFailure()) remove_tree(folder_);
}

std::string launcher_end_to_end::probe_library() const {
    return read_file(windows_path(PROBE_LIBRARY));
}

void launcher_end_to_end::pack_bytes(const std::string& archive) {
    ASSERT_TRUE(pack_launcher(windows_path(LAUNCHER_STUB), exe_, archive))
        << "packing failed with error " << GetLastError();
}

void launcher_end_to_end::pack(const std::vector<archive_entry>& entries) {
    pack_bytes(archive_bytes(entries));
}

void launcher_end_to_end::pack_probe() {
    std::string library = probe_library();
    ASSERT_FALSE(library.empty());
    pack({{L"main.dll", library}, {L"data\\nested\\notes.txt", "packed beside the library"}});
}

void launcher_end_to_end::start_exact(launched_process& process,
                                      const std::wstring& command_line,
                                      const std::vector<environment_change>& changes,
                                      const std::wstring& name) {
    ASSERT_TRUE(process.start(exe_, command_line, temp_, current_, folder_ + L"\\" + name,
                              changes))
        << "CreateProcessW failed with error " << GetLastError();
}

probe_report launcher_end_to_end::start_held(launched_process& first, const std::wstring& release) {
    std::wstring report = report_path(L"first.bin");
    start(first, L"report " + in_quotes(report) + L" await " + in_quotes(release), {}, L"first");
    return wait_for_report(report, 30000);
}

void launcher_end_to_end::start(launched_process& process, const std::wstring& tail,
                                const std::vector<environment_change>& changes,
                                const std::wstring& name) {
    start_exact(process, in_quotes(exe_) + L" " + tail, changes, name);
}

DWORD launcher_end_to_end::run(const std::wstring& tail,
                               const std::vector<environment_change>& changes) {
    launched_process process;
    start(process, tail, changes);
    EXPECT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS)) << "launcher did not end";
    last_output_ = process.standard_output();
    last_error_ = process.standard_error();
    return process.exit_code();
}

std::wstring launcher_end_to_end::run_directory_of(const probe_report& report) const {
    auto parent = report.find(L"TALVOR_ONEFILE_PARENT");
    auto start = report.find(L"TALVOR_ONEFILE_START");
    if (parent == report.end() || start == report.end()) return L"<variables missing>";
    return temp_ + L"\\onefile_" + parent->second + L"_" + start->second;
}
