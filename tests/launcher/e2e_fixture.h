// The fixture every end-to-end test uses: a fresh folder per test holding the
// packed launcher, its own TEMP (so run directories can be counted) and the
// output files; kept after a failure for inspection.
#pragma once
#include <gtest/gtest.h>

#include "tests/launcher/e2e_harness.h"
#include "tests/launcher/payload_archives.h"
#include "tests/launcher/probe_report.h"

// Waits for a launcher and its application; nothing here takes seconds.
constexpr DWORD LAUNCHER_TIMEOUT_MS = 60000;

class launcher_end_to_end : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Packs `entries` into this test's copy of the launcher.
    void pack(const std::vector<archive_entry>& entries);
    void pack_bytes(const std::string& archive);
    // The probe as main.dll, followed by a data file in a subdirectory.
    void pack_probe();
    std::string probe_library() const;

    // Starts the packed launcher with `"<exe>" ` + tail as its command line.
    void start(launched_process& process, const std::wstring& tail,
               const std::vector<environment_change>& changes = {},
               const std::wstring& name = L"launcher");
    void start_exact(launched_process& process, const std::wstring& command_line,
                     const std::vector<environment_change>& changes = {},
                     const std::wstring& name = L"launcher");
    // Starts a launcher ("first") whose application reports (first.bin) and
    // then waits until the file `release` appears; its report, once written
    // (empty when none came within 30 s).
    probe_report start_held(launched_process& first, const std::wstring& release);
    // Starts, waits and expects the process to end within the time-out.
    DWORD run(const std::wstring& tail, const std::vector<environment_change>& changes = {});

    std::wstring report_path(const wchar_t* name) const { return folder_ + L"\\" + name; }
    // temp\onefile_<PARENT>_<START> from the variables the report shows.
    std::wstring run_directory_of(const probe_report& report) const;

    std::wstring folder_;   // the test's own folder, also the launcher's
    std::wstring temp_;     // TMP and TEMP of every launcher started
    std::wstring current_;  // the current directory launchers start in
    std::wstring exe_;      // the packed launcher
    std::string last_output_;
    std::string last_error_;
};

std::wstring in_quotes(const std::wstring& text);
