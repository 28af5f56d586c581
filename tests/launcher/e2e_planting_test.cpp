// Libraries someone left beside the launcher (a Downloads folder) and in the
// current folder, named like the payload's own: the application's loads by
// name get the payload's copies, and never a planted one. Each library
// returns 1 when it is the payload's and 2 when planted, so the exit status
// tells whose code ran.
#include "tests/launcher/e2e_fixture.h"

namespace {

class planted_libraries : public launcher_end_to_end {
protected:
    // A planted copy of each name beside the launcher and in the current folder.
    void plant() {
        std::string planted = read_file(windows_path(PLANTING_PLANTED));
        ASSERT_FALSE(planted.empty());
        for (const std::wstring& folder : {folder_, current_})
            for (const wchar_t* name : {L"helper.dll", L"plugin.dll", L"absent.dll"})
                ASSERT_TRUE(write_file(folder + L"\\" + name, planted));
    }
    std::string payload_library() const { return read_file(windows_path(PLANTING_PAYLOAD)); }
};

}  // namespace

// helper.dll delay-loaded (1), plugin.dll by LoadLibraryW (10), and a
// library the payload does not have, which the system's search alone must
// not find (100 if loaded from a planted copy).
TEST_F(planted_libraries, loads_by_name_get_the_payloads_copies) {
    plant();
    std::string library = payload_library();
    pack({{L"main.dll", read_file(windows_path(PLANTING_DELAYED))},
          {L"helper.dll", library},
          {L"plugin.dll", library}});
    EXPECT_EQ(run(L""), 11u) << last_output_ << last_error_;
}

// An import the payload lacks is not taken from the launcher's or the
// current folder, and the console line after the system's names it.
TEST_F(planted_libraries, a_missing_import_is_named_and_never_taken_from_a_planted_copy) {
    plant();
    pack({{L"main.dll", read_file(windows_path(PLANTING_IMPORTING))}});
    EXPECT_EQ(run(L""), 2u);
    const std::string first = "Error, load DLL. ([Error 126] ";
    EXPECT_EQ(last_error_.compare(0, first.size(), first), 0) << last_error_;
    const std::string named = ")\r\nThe library helper.dll, imported by main.dll, could not be found.\r\n";
    ASSERT_GT(last_error_.size(), named.size());
    EXPECT_EQ(last_error_.substr(last_error_.size() - named.size()), named) << last_error_;
}

// A program started by the run library looks first in its own folder, the
// run directory: the payload's copy wins over one beside the launcher.
TEST_F(planted_libraries, a_run_program_takes_the_payloads_copy_first) {
    plant();
    pack({{L"main.dll", read_file(windows_path(RUN_LIBRARY))},
          {L".onefile-run", "program.exe"},
          {L"program.exe", read_file(windows_path(PLANTING_PROGRAM))},
          {L"helper.dll", payload_library()}});
    EXPECT_EQ(run(L""), 1u) << last_output_ << last_error_;
}
