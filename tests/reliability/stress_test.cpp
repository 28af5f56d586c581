// The launcher under load, in real processes under Wine: many launchers at
// once, the console handler fired at random moments of a real parent run,
// and a run directory that cannot be deleted. `make test` runs short rounds;
// `make stress` sets ONEFILE_STRESS_LONG=1 for the full ones. Each test
// prints its figures.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "tests/launcher/e2e_fixture.h"
#include "tests/reliability/fault_injection.h"

namespace {

constexpr DWORD ACCESS_VIOLATION = 0xC0000005;
constexpr DWORD CONSOLE_EXIT = 0xC000013A;  // STATUS_CONTROL_C_EXIT
constexpr int PAUSES_WHEN_STUCK = 20;
constexpr DWORD PAUSE_MS = 100;

bool long_rounds() {
    char value[8] = {};
    return GetEnvironmentVariableA("ONEFILE_STRESS_LONG", value, sizeof value) > 0 &&
           value[0] == '1';
}

using clock_type = std::chrono::steady_clock;
long long milliseconds_since(clock_type::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start)
        .count();
}

// Processes whose image is `exe_name`, by the system's process list.
int processes_named(const std::wstring& exe_name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, exe_name.c_str()) == 0) ++count;
    CloseHandle(snapshot);
    return count;
}

bool process_ended(DWORD process_id, DWORD timeout_ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return true;  // gone already
    bool ended = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// key=value lines of a fault-module report; "misuse" may repeat.
struct run_report {
    std::map<std::string, std::string> values;
    std::vector<std::string> misuses;
    bool present = false;
    long number(const std::string& key) const {
        auto found = values.find(key);
        return found == values.end() ? -1 : std::stol(found->second);
    }
};

run_report read_run_report(const std::wstring& path) {
    run_report report;
    std::string text = read_file(path);
    report.present = !text.empty();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        if (key == "misuse")
            report.misuses.push_back(line.substr(equals + 1));
        else
            report.values[key] = line.substr(equals + 1);
    }
    return report;
}

class launcher_under_load : public launcher_end_to_end {
protected:
    // The packed copy gets a name of its own, so its processes can be told
    // from those of other tests running at the same time.
    void pack_named(const std::wstring& stub, const std::wstring& name,
                    const std::vector<archive_entry>& entries) {
        exe_ = folder_ + L"\\" + name;
        exe_name_ = name;
        ASSERT_TRUE(pack_launcher(stub, exe_, archive_bytes(entries)));
    }
    std::vector<archive_entry> probe_entries(size_t extra_files, size_t extra_size) {
        std::string library = probe_library();
        std::vector<archive_entry> entries = {{L"main.dll", library}};
        for (size_t i = 0; i < extra_files; ++i)
            entries.push_back({L"lib\\part" + std::to_wstring(i % 4) + L"\\file" +
                                   std::to_wstring(i) + L".bin",
                               std::string(extra_size, static_cast<char>('a' + i % 26))});
        return entries;
    }
    void empty_temp() {
        for (const std::wstring& name : directory_names(temp_)) remove_tree(temp_ + L"\\" + name);
    }
    std::wstring exe_name_;
};

// --- many launchers at once ----------------------------------------------------

struct planned_run {
    std::wstring script;
    DWORD expected;
};

planned_run plan(std::mt19937& random, int index) {
    switch (index % 4) {
        case 0: {
            DWORD status = random();  // any 32-bit value, top bit included
            return {L"exit " + std::to_wstring(status), status};
        }
        case 1: return {L"crash", ACCESS_VIOLATION};
        case 2: {
            DWORD pause = random() % 400;
            return {L"sleep " + std::to_wstring(pause) + L" exit 3", 3};
        }
        default: return {L"exit 0", 0};
    }
}

TEST_F(launcher_under_load, sixteen_at_once_end_with_their_childs_status_and_leave_nothing) {
    const int width = 16;
    const int rounds = long_rounds() ? 20 : 2;
    pack_named(windows_path(LAUNCHER_STUB), L"stress_app.exe", probe_entries(24, 20000));
    std::mt19937 random(7);
    int launches = 0;
    auto started = clock_type::now();
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::unique_ptr<launched_process>> processes;
        std::vector<planned_run> plans;
        for (int index = 0; index < width; ++index) {
            plans.push_back(plan(random, index + round));
            processes.push_back(std::make_unique<launched_process>());
            start(*processes.back(), plans.back().script, {}, L"p" + std::to_wstring(index));
            ++launches;
        }
        for (int index = 0; index < width; ++index) {
            ASSERT_TRUE(processes[index]->wait(LAUNCHER_TIMEOUT_MS)) << "launcher " << index;
            EXPECT_EQ(processes[index]->exit_code(), plans[index].expected)
                << "launcher " << index << ": " << printable(plans[index].script);
            // (After a crash, Wine's own debugger writes its dump there.)
            if (plans[index].expected != ACCESS_VIOLATION) {
                EXPECT_EQ(processes[index]->standard_output() +
                              processes[index]->standard_error(), "");
            }
        }
        std::vector<std::wstring> left = directory_names(temp_);
        EXPECT_TRUE(left.empty()) << left.size() << " run directories left, the first "
                                  << (left.empty() ? "" : printable(left[0]));
        EXPECT_EQ(processes_named(exe_name_), 0) << "a launcher or child still runs";
    }
    printf("[ figures  ] %d launches in %d rounds of %d at once, %lld ms\n", launches, rounds,
           width, milliseconds_since(started));
}

// --- sixteen at once among leftovers ------------------------------------------

// Leftovers of launchers that are gone lie between sixteen live ones: the
// sweeps of the sixteen parents remove every leftover, none touches a live
// run directory, and every launcher ends with its child's status.
TEST_F(launcher_under_load, sixteen_at_once_sweep_every_leftover_and_touch_no_live_directory) {
    const int width = 16;
    pack_named(windows_path(LAUNCHER_STUB), L"sweep_app.exe", probe_entries(8, 4000));
    for (int index = 0; index < width; ++index) {
        std::wstring leftover = temp_ + L"\\onefile_2147483644_" + std::to_wstring(index);
        ASSERT_TRUE(CreateDirectoryW(leftover.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((leftover + L"\\lib").c_str(), nullptr));
        for (int file = 0; file < 20; ++file)
            ASSERT_TRUE(write_file(leftover + L"\\lib\\f" + std::to_wstring(file), "left"));
        ASSERT_TRUE(mark_as_run_directory(leftover));
    }
    std::wstring release = folder_ + L"\\release";
    // However the body ends, the applications are released.
    struct release_on_exit {
        std::wstring path;
        ~release_on_exit() { write_file(path, ""); }
    } releaser{release};
    std::vector<std::unique_ptr<launched_process>> processes;
    std::vector<std::wstring> reports;
    auto started = clock_type::now();
    for (int index = 0; index < width; ++index) {
        reports.push_back(folder_ + L"\\report" + std::to_wstring(index));
        processes.push_back(std::make_unique<launched_process>());
        start(*processes.back(),
              L"report " + in_quotes(reports.back()) + L" await " + in_quotes(release) +
                  L" exit " + std::to_wstring(index + 10),
              {}, L"s" + std::to_wstring(index));
    }
    std::set<std::wstring> live;
    for (const std::wstring& report : reports) {
        probe_report seen = wait_for_report(report, 30000);
        std::wstring directory = run_directory_of(seen);
        ASSERT_EQ(directory.compare(0, temp_.size() + 1, temp_ + L"\\"), 0)
            << printable(report) << " names " << printable(directory);
        live.insert(directory.substr(temp_.size() + 1));
    }
    ASSERT_EQ(live.size(), static_cast<size_t>(width));
    // The sweeps run while the applications wait.
    std::set<std::wstring> left;
    for (int waited = 0; waited < 30000; waited += 20) {
        std::vector<std::wstring> names = run_directories_in(temp_);
        left = std::set<std::wstring>(names.begin(), names.end());
        if (left == live) break;
        Sleep(20);
    }
    EXPECT_EQ(left, live) << left.size() << " directories instead of " << live.size();
    long long swept_ms = milliseconds_since(started);
    std::string library = probe_library();
    for (const std::wstring& name : live) {
        std::wstring directory = temp_ + L"\\" + name;
        EXPECT_EQ(read_file(directory + L"\\main.dll"), library) << printable(name);
        EXPECT_EQ(read_file(directory + L"\\lib\\part3\\file7.bin"), std::string(4000, 'h'))
            << printable(name);
    }
    ASSERT_TRUE(write_file(release, ""));
    for (int index = 0; index < width; ++index) {
        ASSERT_TRUE(processes[index]->wait(LAUNCHER_TIMEOUT_MS)) << "launcher " << index;
        EXPECT_EQ(processes[index]->exit_code(), static_cast<DWORD>(index + 10));
        EXPECT_EQ(processes[index]->standard_output() + processes[index]->standard_error(), "");
    }
    EXPECT_TRUE(directory_names(temp_).empty());
    printf("[ figures  ] %d leftovers among %d live launchers swept %lld ms after the first start\n",
           width, width, swept_ms);
}

// --- the console handler at random moments ---------------------------------------

TEST_F(launcher_under_load, the_console_handler_at_any_moment_stops_the_child_and_deletes) {
    const int rounds = long_rounds() ? 200 : 20;
    // Enough files that extraction takes a while, so the event falls into
    // extraction as often as into the wait.
    pack_named(windows_path(FAULTS_LAUNCHER), L"handler_app.exe", probe_entries(60, 65536));
    std::mt19937 random(11);
    struct {
        int interrupted = 0, child_ran = 0, late_children = 0, rounds_run = 0;
    } seen;
    auto started = clock_type::now();
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        ++seen.rounds_run;
        // Every other event comes within the first milliseconds after the
        // handler's registration, while extraction still runs.
        DWORD event_ms = round % 2 == 0 ? random() % 30 : random() % 400;
        DWORD child_ms = random() % 300;
        SCOPED_TRACE("round " + std::to_string(round) + ", event after " +
                     std::to_string(event_ms) + " ms, child sleeps " + std::to_string(child_ms));
        std::wstring report_file = folder_ + L"\\report_" + std::to_wstring(round) + L".txt";
        launched_process process;
        start(process, L"sleep " + std::to_wstring(child_ms) + L" exit 5",
              {{FAULTS_VARIABLE, L"parent:console@" + std::to_wstring(event_ms), false},
               {REPORT_VARIABLE, report_file, false}},
              L"handler_" + std::to_wstring(round));
        ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
        run_report report = read_run_report(report_file);
        ASSERT_TRUE(report.present) << "status " << process.exit_code();
        for (const std::string& misuse : report.misuses) ADD_FAILURE() << misuse;

        // Before the child the event ends the launcher with its status and
        // no child starts; after, the launcher returns the child's status.
        // Never a failure of its own (a deletion racing extraction).
        DWORD status = process.exit_code();
        long child = report.number("child_process_id");
        if (status == CONSOLE_EXIT) {
            ++seen.interrupted;
            EXPECT_EQ(report.number("handler_started"), 1);
            EXPECT_EQ(child, 0) << "a child started after the event";
        } else if (status == 5) {
            ++seen.child_ran;
            EXPECT_GT(child, 0);
        } else {
            ADD_FAILURE() << "status " << status << ", standard error " << process.standard_error();
        }
        EXPECT_EQ(process.standard_output() + process.standard_error(), "");
        // The child, if one was started, always ends: by itself (it sleeps
        // at most 300 ms), or by the handler.
        if (child > 0 && !process_ended(static_cast<DWORD>(child), 0)) {
            ++seen.late_children;
            EXPECT_TRUE(process_ended(static_cast<DWORD>(child), 10000)) << "child never ended";
        }
        std::vector<std::wstring> left = directory_names(temp_);
        EXPECT_TRUE(left.empty()) << printable(left[0]);
        empty_temp();
    }
    EXPECT_EQ(processes_named(exe_name_), 0);
    printf("[ figures  ] %d rounds, %lld ms: %d ended by the event before the child, %d returned "
           "the child's status, %d children outliving their parent\n",
           seen.rounds_run, milliseconds_since(started), seen.interrupted, seen.child_ran,
           seen.late_children);
}

// --- a run directory that cannot be deleted ----------------------------------------

TEST_F(launcher_under_load, a_file_held_open_makes_the_parent_retry_then_give_up_silently) {
    pack_named(windows_path(FAULTS_LAUNCHER), L"held_app.exe", probe_entries(2, 1000));
    std::wstring report_file = folder_ + L"\\report.txt";
    launched_process process;
    auto started = clock_type::now();
    start(process, L"sleep 1500 exit 9", {{REPORT_VARIABLE, report_file, false}});

    // Hold a file of the run directory open, without FILE_SHARE_DELETE, from
    // this process, which outlives the child.
    HANDLE held = INVALID_HANDLE_VALUE;
    auto deadline = clock_type::now() + std::chrono::seconds(20);
    while (held == INVALID_HANDLE_VALUE && clock_type::now() < deadline) {
        for (const std::wstring& name : directory_names(temp_)) {
            std::wstring file = temp_ + L"\\" + name + L"\\lib\\part1\\file1.bin";
            if (read_file(file).size() == 1000)
                held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (held == INVALID_HANDLE_VALUE) Sleep(10);
    }
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << "the run directory never appeared";
    ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    long long elapsed = milliseconds_since(started);
    CloseHandle(held);

    EXPECT_EQ(process.exit_code(), 9u);
    EXPECT_EQ(process.standard_output() + process.standard_error(), "");
    run_report report = read_run_report(report_file);
    std::string pauses;
    for (int i = 0; i < PAUSES_WHEN_STUCK; ++i) pauses += (i == 0 ? "" : " ") + std::to_string(PAUSE_MS);
    EXPECT_EQ(report.values["pauses"], pauses);
    EXPECT_TRUE(report.misuses.empty());
    // The directory stays with its lock file, whose mark lets a later
    // start's sweep take it.
    EXPECT_EQ(run_directories_in(temp_).size(), 1u);
    EXPECT_EQ(directory_names(temp_).size(), 2u);
    // The child's 1.5 s, the 2 s of pauses and the deletion calls; bounded.
    EXPECT_LT(elapsed, 15000);
    printf("[ figures  ] held-open file: %s ms of pauses, %lld ms from start to the parent's end "
           "(child sleeps 1500 ms)\n",
           pauses.empty() ? "0" : "20 x 100", elapsed);
}

}  // namespace
