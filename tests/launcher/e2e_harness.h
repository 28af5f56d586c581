// Windows-side harness for the end-to-end tests: packs payload archives
// (payload_archives.h) into copies of the launcher stub, starts packed
// launchers with an exact command line and environment, and reads back
// their 32-bit exit codes, their output and the probe application's reports.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Windows form of a path the build gives in Unix form (Wine maps / to Z:).
std::wstring windows_path(const char* unix_path);
std::string read_file(const std::wstring& path);
bool write_file(const std::wstring& path, const std::string& bytes);
bool file_exists(const std::wstring& path);
bool directory_exists(const std::wstring& path);
// Names in a directory, without "." and "..".
std::vector<std::wstring> directory_names(const std::wstring& path);
// The same without the launchers' lock files (a run directory's name and
// ".lock"), which stand beside run directories while they are in use.
std::vector<std::wstring> run_directories_in(const std::wstring& path);
// Deletes the tree at `path` with the launcher's deleter: links stay.
void remove_tree(const std::wstring& path);
// The number on its volume of the entry `name` of the open folder `folder`
// (0 when it cannot be opened), as the deleter wants it.
int64_t entry_index(HANDLE folder, const std::wstring& name);
// Writes the lock file beside the directory at `path` with the mark a
// launcher writes when it makes a run directory: a planted leftover of ours.
bool mark_as_run_directory(const std::wstring& path);
// CreateProcessW with the current directory and no security attributes,
// tried again (three tries in all) when Wine 8 fails a start with
// ERROR_INTERNAL_ERROR on an overloaded machine: no process was made then.
// On failure the last error is the last try's.
bool start_process(const std::wstring& application, std::wstring& command_line, bool inherit,
                   DWORD flags, void* environment, const wchar_t* directory,
                   STARTUPINFOW& startup, PROCESS_INFORMATION& process);
// Unix side (Wine only; false or empty elsewhere). Wine 8 cannot make links
// itself (CreateSymbolicLinkW is a stub there), so tests make them with ln.
std::wstring unix_path_of(const std::wstring& path);
// Runs `command` with /bin/sh -c; true when it ran and ended (Wine 8 does
// not pass a Unix program's exit status on: check what it did instead).
bool run_unix_command(const std::wstring& command);
// The Unix mode of `path` in octal ("444"), read from the Unix side without
// following a last link; empty when it cannot be read.
std::string unix_mode_of(const std::wstring& path);
// A Unix symbolic link `link` to `target` (a Windows path, or a name taken
// relative to the link's folder).
bool make_unix_link(const std::wstring& target, const std::wstring& link);
bool remove_unix_link(const std::wstring& link);
// Every link below `folder` removed and every read-only bit cleared, from
// the Unix side, so a test's own clean-up leaves nothing behind.
void clear_links_below(const std::wstring& folder);

// What links in the tests lead to, in `targets`: a file, a read-only file, a
// directory holding a file, an empty directory. plant_links makes a Unix
// link to each in `directory`; link_targets_changed says what is no longer
// as made ("" when nothing).
bool make_link_targets(const std::wstring& targets);
bool plant_links(const std::wstring& directory, const std::wstring& targets);
std::string link_targets_changed(const std::wstring& targets);
std::wstring folder_of(const std::wstring& path);
// The folder that holds this test program.
std::wstring test_program_folder();

// Copies the stub to `target` and adds `archive` as RT_RCDATA 27, language
// neutral, with the system's resource updater.
bool pack_launcher(const std::wstring& stub, const std::wstring& target,
                   const std::string& archive);

// Writes `path_template` into the run-directory template of the branding
// record of the image at `image`, as `onefile-pack --run-directory` would
// (without its checks), a payload digest made from `digest_seed` (the
// launcher never hashes: a build with another seed is another payload) and
// a build stamp of that number (a higher seed is a later build), and
// `product` as the record's product text unless it is empty.
bool set_run_directory_template(const std::wstring& image, const std::wstring& path_template,
                                unsigned char digest_seed = 0, const std::wstring& product = L"");

// Environment changes for a started launcher: set `name` to `value`, or
// leave it out when `remove` is true. TMP and TEMP are always set, and the
// launcher's four variables left out unless given here.
struct environment_change {
    std::wstring name;
    std::wstring value;
    bool remove;
};

class launched_process {
public:
    launched_process() = default;
    launched_process(const launched_process&) = delete;
    launched_process& operator=(const launched_process&) = delete;
    ~launched_process();

    // Starts `application` with exactly `command_line`, standard output and
    // error redirected to files beside `output_prefix`.
    bool start(const std::wstring& application, const std::wstring& command_line,
               const std::wstring& temp_folder, const std::wstring& current_directory,
               const std::wstring& output_prefix,
               const std::vector<environment_change>& changes = {});
    // Waits at most `timeout_ms`; false on time-out (the process is then
    // terminated so no test leaves one running).
    bool wait(DWORD timeout_ms = 120000);

    // Set before start: the process starts suspended until resume(), so a
    // test can prepare what depends on its process id.
    bool suspended = false;
    void resume();
    // Set before start: further creation flags (CREATE_NEW_CONSOLE), and a
    // file for standard input (none when empty).
    DWORD extra_flags = 0;
    std::wstring input_file;
    // Ends the process at once, as Task Manager or taskkill /f would.
    bool terminate(DWORD code = 1) { return TerminateProcess(process_.hProcess, code) != FALSE; }
    DWORD process_id() const { return process_.dwProcessId; }
    DWORD exit_code() const { return exit_code_; }
    std::string standard_output() const;
    std::string standard_error() const;

private:
    PROCESS_INFORMATION process_ = {};
    DWORD exit_code_ = 0;
    std::wstring output_prefix_;
};

using probe_report = std::map<std::wstring, std::wstring>;

// Reads a report written by the probe application; empty when missing.
probe_report read_report(const std::wstring& path);
// Polls until a file exists; for a marker whose content does not matter.
bool wait_for_file(const std::wstring& path, DWORD timeout_ms);
// Polls until the whole report can be read (the probe writes it elsewhere
// and renames it into place); empty after `timeout_ms`.
probe_report wait_for_report(const std::wstring& path, DWORD timeout_ms);
// The probe's argument vector from a report.
std::vector<std::wstring> reported_arguments(const probe_report& report);
// The argument vector Windows' own parser makes of a command line.
std::vector<std::wstring> system_arguments(const std::wstring& command_line);
// Readable form of wide text for assertion messages (non-ASCII as \uXXXX).
std::string printable(const std::wstring& text);
