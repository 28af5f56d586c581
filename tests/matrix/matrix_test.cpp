// Every pack option with every other, under Wine with real processes: one
// small tree packed by the host packer as a user would, once per
// combination of --compress, --run, --console, a cache run directory and
// branding, and each packed file started twice. Half the compressed cells
// take --compress=max and half of all cells --no-default-search, chosen so
// that each meets every other option both on and off. Each start must return the
// application's status, hand over the arguments as typed, its standard
// handles and the launcher's variables, and unpack every file byte for byte.
//
// A new pack option joins the matrix in the commit that adds it: one more
// bit in `cell`, its words in pack_options(), and what it must change in
// check_start(). Features meet here; a seam between two breaks here first.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "format/archive_format.h"
#include "payload/piece_decoder.h"
#include "tests/launcher/payload_archives.h"
#include "tests/launcher/e2e_harness.h"
#include "tests/launcher/probe_report.h"

namespace {

constexpr DWORD START_TIMEOUT_MS = 120000;
// Two cores under Wine: more starts at once only wait for each other.
constexpr unsigned PARALLEL_CELLS = 3;
constexpr int STARTS = 2;
constexpr DWORD STATUSES[STARTS] = {0x80000001, 0xFFFFFFFF};
constexpr size_t SUBSYSTEM_IN_OPTIONAL_HEADER = 68;
constexpr uint8_t SUBSYSTEM_WINDOWS_GUI = 2, SUBSYSTEM_WINDOWS_CUI = 3;
const std::wstring BRANDED_PRODUCT = L"Matrix Probe";
const std::wstring STOCK_PRODUCT = L"Marrowlake";
const std::wstring RUN_PROGRAM = L"bin\\probe.exe";
const std::wstring TYPED_ARGV0 = L"C:\\typed dir\\typed name.exe";
// The hard cases of the command line, all at once: spaces, tabs, empty
// arguments, doubled and escaped quotes, runs of backslashes, non-ASCII.
const std::wstring ARGUMENTS =
    L"plain \"with space\" \"tab\tinside\"\tafter_tab  x \"\" \"\" \"a\"\"b\" \"\"\"\" c\"\"d "
    L"say\\\"hi\\\" \"in \\\"quotes\\\" here\" \\\" a\\\\b \\\\\\\\server\\\\share\\ \"trailing\\\\\" "
    L"three\\\\\\\"q \"c:\\dir with space\\\\\" end\\ \u00FCn\u00EFc\u00F8d\u00E9 \u65E5\u672C\u8A9E "
    L"\"\U0001D11E clef\"";
const std::string INPUT = "line one\r\n\xC3\xBC and more\r\n";

struct cell {
    bool compress, run, console, cache, branded;

    static cell of(unsigned bits) { return {!!(bits & 1), !!(bits & 2), !!(bits & 4), !!(bits & 8), !!(bits & 16)}; }
    // The solid form where the other options' bits are odd in number.
    bool max() const { return compress && (run ^ console ^ cache ^ branded); }
    // Only --search-path and APP_DIR searched where these four are odd: it
    // too meets each option, max included, both on and off. The tree needs
    // no library from outside, so nothing else may change.
    bool own_search_only() const { return compress ^ run ^ console ^ cache; }
    std::string name() const {
        return std::string(max() ? "max" : compress ? "compressed" : "stored") + (run ? "_run" : "_library") +
               (console ? "_console" : "_windowed") + (cache ? "_cache" : "_fresh") +
               (branded ? "_branded" : "_stock");
    }
    std::wstring product() const { return branded ? BRANDED_PRODUCT : STOCK_PRODUCT; }
};

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::wstring enclosed(const std::wstring& text) { return L"\"" + text + L"\""; }
// A word of the shell script, taken as it stands.
std::wstring word(const std::wstring& text) { return L" '" + text + L"'"; }
std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

// Every file below `folder` by its name relative to it, with its bytes.
void files_below(const std::wstring& folder, const std::wstring& prefix, std::map<std::wstring, std::string>& files) {
    for (const std::wstring& name : directory_names(folder)) {
        std::wstring path = folder + L"\\" + name;
        if (directory_exists(path)) files_below(path, prefix + name + L"\\", files);
        else files[prefix + name] = read_file(path);
    }
}

// The product name in the version block of the image at `path`.
std::wstring product_name_of(const std::wstring& path) {
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    std::vector<char> block(size);
    WORD* translation = nullptr;
    wchar_t* text = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 4)
        return L"<no version block>";
    wchar_t key[64];
    swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", translation[0], translation[1]);
    if (!VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&text), &length) || length == 0)
        return L"<no product name>";
    return text;
}

class pack_matrix : public ::testing::TestWithParam<unsigned> {
public:
    // The tree, every cell packed by one shell run of the host packer, and
    // every cell started on a few threads; each test reports its own cell.
    static void SetUpTestSuite() {
        folder_ = windows_path(MATRIX_FOLDER);
        remove_tree(folder_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        make_tree();
        pack_all();
        std::atomic<unsigned> next{0};
        std::vector<std::thread> threads;
        for (unsigned thread = 0; thread < PARALLEL_CELLS; ++thread)
            threads.emplace_back([&next] {
                for (unsigned bits; (bits = next++) < 32;) check_cell(bits);
            });
        for (std::thread& thread : threads) thread.join();
    }
    static void TearDownTestSuite() {
        bool all_passed = true;
        for (const auto& found : problems_) all_passed = all_passed && found.empty();
        if (all_passed) remove_tree(folder_);
    }

protected:
    static void make_tree();
    static void pack_all();
    static std::wstring pack_options(const cell& c);
    static void check_cell(unsigned bits);
    static void check_start(const cell& c, int start, std::vector<std::string>& problems);

    static std::wstring cell_folder(const cell& c) { return folder_ + L"\\" + widened(c.name()); }
    static std::wstring cell_exe(const cell& c) { return cell_folder(c) + L"\\" + c.product() + L".exe"; }

    static std::wstring folder_;
    static std::map<std::wstring, std::string> tree_;  // what the application folder holds
    static std::vector<std::string> problems_[32];
};

std::wstring pack_matrix::folder_;
std::map<std::wstring, std::string> pack_matrix::tree_;
std::vector<std::string> pack_matrix::problems_[32];

// The probe both as the application library and as the program --run
// starts; a file of enough compressed pieces that the launcher decodes them
// on worker threads, ahead of the writer and across entries; an empty file
// and a name that needs UTF-8 on the packer's side.
void pack_matrix::make_tree() {
    tree_ = {{L"main.dll", read_file(windows_path(PROBE_LIBRARY))},
             {RUN_PROGRAM, read_file(windows_path(RUN_PROBE))},
             {L"data\\big.bin", text_like(PIECE_THREADS_THRESHOLD + 12345, 1)},
             {L"data\\empty.txt", ""},
             {L"data\\nested\\n\u00E4me with space.txt", "beside the library"}};
    std::wstring app = folder_ + L"\\app";
    CreateDirectoryW(app.c_str(), nullptr);
    for (const auto& [name, bytes] : tree_) {
        for (size_t cut = name.find(L'\\'); cut != std::wstring::npos; cut = name.find(L'\\', cut + 1))
            CreateDirectoryW((app + L"\\" + name.substr(0, cut)).c_str(), nullptr);
        write_file(app + L"\\" + name, bytes);
    }
}

std::wstring pack_matrix::pack_options(const cell& c) {
    std::wstring options;
    if (c.compress) options += c.max() ? L" --compress=max" : L" --compress";
    if (c.run) options += L" --run" + word(RUN_PROGRAM);
    if (c.console) options += L" --console";
    if (c.own_search_only()) options += L" --no-default-search";
    if (c.cache) options += L" --run-directory" + word(L"{TEMP}\\cache\\{PRODUCT}");
    if (c.branded)
        options += L" --product" + word(BRANDED_PRODUCT) + L" --company" + word(L"Matrix Co") + L" --version 2.3.4" +
                   L" --icon" + word(widened(MATRIX_ICON));
    return options;
}

// One shell run for all: Wine starts a Unix program slowly, and passes no
// exit status on, so each pack leaves its status in a file.
void pack_matrix::pack_all() {
    std::string script;
    for (unsigned bits = 0; bits < 32; ++bits) {
        cell c = cell::of(bits);
        CreateDirectoryW(cell_folder(c).c_str(), nullptr);
        std::wstring out = unix_path_of(cell_folder(c));
        std::wstring line = word(widened(ONEFILE_PACK)) + L" pack" + word(unix_path_of(folder_ + L"\\app")) + L" -o" +
                            word(unix_path_of(cell_exe(c))) + L" --stub" + word(widened(LAUNCHER_STUB)) + L" --quiet" +
                            pack_options(c) + L" >" + word(out + L"/pack.out") + L" 2>&1; echo $? >" +
                            word(out + L"/pack.status");
        script += utf8(line) + "\n";
    }
    std::wstring script_path = folder_ + L"\\pack.sh", done = folder_ + L"\\packed";
    write_file(script_path, script + "touch" + utf8(word(unix_path_of(done))) + "\n");
    run_unix_command(L"sh" + word(unix_path_of(script_path)));
    // Packing may outlast the command's own wait on a loaded machine.
    wait_for_file(done, START_TIMEOUT_MS);
}

void pack_matrix::check_cell(unsigned bits) {
    cell c = cell::of(bits);
    std::vector<std::string>& problems = problems_[bits];
    std::wstring folder = cell_folder(c);
    std::string status = read_file(folder + L"\\pack.status");
    if (status != "0\n") {
        problems.push_back("pack ended with status " + status + ": " + read_file(folder + L"\\pack.out"));
        return;
    }
    std::string image = read_file(cell_exe(c));
    uint32_t pe = 0;
    if (image.size() > 0x40) memcpy(&pe, &image[0x3C], sizeof pe);
    size_t subsystem = pe + 24 + SUBSYSTEM_IN_OPTIONAL_HEADER;
    if (subsystem >= image.size() ||
        static_cast<uint8_t>(image[subsystem]) != (c.console ? SUBSYSTEM_WINDOWS_CUI : SUBSYSTEM_WINDOWS_GUI))
        problems.push_back("the image's subsystem is not " + std::string(c.console ? "console" : "windowed"));
    if (product_name_of(cell_exe(c)) != c.product())
        problems.push_back("the version block names " + printable(product_name_of(cell_exe(c))));
    for (int start = 0; start < STARTS && problems.empty(); ++start) check_start(c, start, problems);
}

// One start, held while its run directory is compared with the tree.
void pack_matrix::check_start(const cell& c, int start, std::vector<std::string>& problems) {
    auto problem = [&](const std::string& what) {
        problems.push_back("start " + std::to_string(start + 1) + ": " + what);
    };
    std::wstring folder = cell_folder(c), temp = folder + L"\\temp", current = folder + L"\\current";
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(current.c_str(), nullptr);
    std::wstring index = std::to_wstring(start);
    std::wstring report = folder + L"\\report" + index, release = folder + L"\\release" + index;
    std::wstring input = folder + L"\\input.txt";
    write_file(input, INPUT);
    std::wstring command_line = enclosed(TYPED_ARGV0) + L" report " + enclosed(report) + L" say hello copy-input await " +
                                enclosed(release) + L" exit " + std::to_wstring(STATUSES[start]) + L" -- " + ARGUMENTS;
    launched_process process;
    process.input_file = input;
    if (!process.start(cell_exe(c), command_line, temp, current, folder + L"\\start" + index))
        return problem("could not be started");
    probe_report seen = wait_for_report(report, START_TIMEOUT_MS);
    std::wstring run_directory = c.cache ? temp + L"\\cache\\" + c.product()
                                         : temp + L"\\onefile_" + seen[L"TALVOR_ONEFILE_PARENT"] + L"_" +
                                               seen[L"TALVOR_ONEFILE_START"];
    std::map<std::wstring, std::string> expected = tree_, unpacked;
    if (c.run) {
        expected[L"onefile-run.dll"] = read_file(windows_path(RUN_LIBRARY));
        expected[L".onefile-run"] = "bin\\probe.exe";
    }
    files_below(run_directory, L"", unpacked);
    if (c.cache && unpacked.erase(L".onefile-cache") != 1) problem("the cache has no mark");
    write_file(release, "");
    bool ended = process.wait(START_TIMEOUT_MS);
    if (seen.empty()) return problem("no report: " + process.standard_output() + process.standard_error());
    for (const auto& [name, bytes] : expected) {
        auto found = unpacked.find(name);
        if (found == unpacked.end()) problem("missing from the run directory: " + printable(name));
        else if (found->second != bytes) problem("unpacked with other bytes: " + printable(name));
    }
    for (const auto& [name, bytes] : unpacked)
        if (expected.count(name) == 0) problem("unpacked but not packed: " + printable(name));

    std::wstring module = run_directory + L"\\" + (c.run ? RUN_PROGRAM : L"main.dll");
    if (seen[REPORT_MODULE] != module) problem("ran " + printable(seen[REPORT_MODULE]));
    std::vector<std::wstring> typed = system_arguments(command_line), received = reported_arguments(seen);
    if (received.size() != typed.size()) problem(std::to_string(received.size()) + " arguments arrived");
    for (size_t at = 1; at < typed.size() && at < received.size(); ++at)
        if (received[at] != typed[at]) problem("argument " + std::to_string(at) + ": " + printable(received[at]));
    if (!received.empty() && received[0] != (c.run ? module : cell_exe(c)))
        problem("argument 0: " + printable(received[0]));
    if (seen[L"TALVOR_ORIGINAL_ARGV0"] != TYPED_ARGV0) problem("TALVOR_ORIGINAL_ARGV0 is not as typed");
    if (seen[L"TALVOR_ONEFILE_DIRECTORY"] != folder) problem("TALVOR_ONEFILE_DIRECTORY is not the launcher's");
    if (seen[REPORT_CURRENT_DIRECTORY] != current) problem("the current directory is not the launcher's");

    if (!ended) return problem("did not end");
    if (process.exit_code() != STATUSES[start]) problem("status " + std::to_string(process.exit_code()));
    if (process.standard_output() != "hello\r\n" + INPUT) problem("output: " + process.standard_output());
    if (!process.standard_error().empty()) problem("error output: " + process.standard_error());
    std::vector<std::wstring> left = run_directories_in(temp);
    if (left != (c.cache ? std::vector<std::wstring>{L"cache"} : std::vector<std::wstring>{}))
        problem("TEMP keeps " + std::to_string(left.size()) + " entries");
}

TEST_P(pack_matrix, starts_twice_with_status_arguments_and_every_file) {
    cell c = cell::of(GetParam());
    for (const std::string& problem : problems_[GetParam()]) ADD_FAILURE() << c.name() << ": " << problem;
}

INSTANTIATE_TEST_SUITE_P(cells, pack_matrix, ::testing::Range(0u, 32u),
                         [](const ::testing::TestParamInfo<unsigned>& info) { return cell::of(info.param).name(); });

}  // namespace
