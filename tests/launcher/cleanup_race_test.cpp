// The console handler against the parent's own end sequence, on two threads,
// with a real child process; and the platform calls one clean-up makes.
// The child's handle is watched through the `win32` table: every handle's
// waits, queries, terminations and closes are recorded per handle value.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <malloc.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "launcher/launcher.h"
#include "launcher/ownership.h"
#include "launcher/progress_window.h"
#include "platform/tree_deleter.h"
#include "tests/launcher/e2e_harness.h"

namespace {

constexpr DWORD SLEEPER_STATUS = 7;  // the sleeper's status when it ends by itself

// Handle bookkeeping shared by the wrapped table entries of both threads.
class handle_recorder {
public:
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_.clear();
        faults_.clear();
        terminations_ = 0;
    }
    void opened(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_[handle] = {true, 0};
    }
    // False when the handle is not open: the call is then recorded and not
    // made, since the value may already name another object.
    bool begin_use(HANDLE handle, const char* call) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = handles_.find(handle);
        if (found == handles_.end()) {
            faults_.push_back(std::string(call) + " on a handle never opened");
            return false;
        }
        if (!found->second.open) {
            faults_.push_back(std::string(call) + " after close");
            return false;
        }
        ++found->second.in_use;
        return true;
    }
    void end_use(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = handles_.find(handle);
        if (found != handles_.end() && found->second.in_use > 0) --found->second.in_use;
    }
    // False for a handle that is not open; see begin_use.
    bool closing(HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = handles_.find(handle);
        if (found == handles_.end()) {
            faults_.push_back("CloseHandle on a handle never opened");
            return false;
        }
        if (!found->second.open) {
            faults_.push_back("CloseHandle twice");
            return false;
        }
        if (found->second.in_use > 0)
            faults_.push_back("CloseHandle while the other thread uses the handle");
        found->second.open = false;
        return true;
    }
    void terminated() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++terminations_;
    }
    std::vector<std::string> faults() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> all = faults_;
        for (const auto& entry : handles_)
            if (entry.second.open) all.push_back("a handle was never closed");
        return all;
    }
    int terminations() {
        std::lock_guard<std::mutex> lock(mutex_);
        return terminations_;
    }

private:
    struct record {
        bool open;
        int in_use;
    };
    std::mutex mutex_;
    std::map<HANDLE, record> handles_;
    std::vector<std::string> faults_;
    int terminations_ = 0;
};

handle_recorder recorder;
// The handler's grace period in most rounds, so many rounds fit in a test;
// one test keeps the real 5000 ms.
std::atomic<DWORD> grace_ms_in_use{CHILD_GRACE_MS};

// Small random pauses inside the wrapped calls widen the windows in which
// the two threads' steps can interleave.
void jitter() {
    thread_local std::mt19937 random(std::random_device{}());
    switch (random() % 4) {
        case 0: break;
        case 1: SwitchToThread(); break;
        default: win32_system.Sleep(random() % 3); break;
    }
}

DWORD WINAPI recorded_wait(HANDLE handle, DWORD milliseconds) {
    if (!recorder.begin_use(handle, "WaitForSingleObject")) return WAIT_FAILED;
    if (milliseconds == CHILD_GRACE_MS) milliseconds = grace_ms_in_use.load();
    DWORD result = win32_system.WaitForSingleObject(handle, milliseconds);
    jitter();
    recorder.end_use(handle);
    return result;
}

BOOL WINAPI recorded_exit_code(HANDLE handle, LPDWORD status) {
    if (!recorder.begin_use(handle, "GetExitCodeProcess")) return FALSE;
    jitter();
    BOOL result = win32_system.GetExitCodeProcess(handle, status);
    recorder.end_use(handle);
    return result;
}

BOOL WINAPI recorded_terminate(HANDLE handle, UINT status) {
    if (!recorder.begin_use(handle, "TerminateProcess")) return FALSE;
    BOOL result = win32_system.TerminateProcess(handle, status);
    recorder.terminated();
    jitter();
    recorder.end_use(handle);
    return result;
}

BOOL WINAPI recorded_close(HANDLE handle) {
    jitter();
    if (!recorder.closing(handle)) return FALSE;
    return win32_system.CloseHandle(handle);
}

BOOL WINAPI recorded_duplicate(HANDLE source_process, HANDLE source, HANDLE target_process,
                               LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
    BOOL result = win32_system.DuplicateHandle(source_process, source, target_process, target,
                                               access, inherit, options);
    if (result) recorder.opened(*target);
    return result;
}

// The clean-up's own handles (the folder, the deleter's entries) are
// recorded too: each must be closed exactly once, on either thread.
HANDLE WINAPI recorded_create(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model) {
    HANDLE handle = win32_system.CreateFileW(path, access, share, security, disposition, flags, model);
    if (handle != INVALID_HANDLE_VALUE) recorder.opened(handle);
    return handle;
}

HANDLE WINAPI recorded_reopen(HANDLE original, DWORD access, DWORD share, DWORD flags) {
    HANDLE handle = win32_system.ReOpenFile(original, access, share, flags);
    if (handle != INVALID_HANDLE_VALUE) recorder.opened(handle);
    return handle;
}

NTSTATUS NTAPI recorded_open(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    NTSTATUS status = win32_system.NtOpenFile(handle, access, attributes, io, share, options);
    if (status == 0) recorder.opened(*handle);
    return status;
}

PROCESS_INFORMATION start_sleeper(DWORD milliseconds) {
    std::wstring path = windows_path(SLEEPER_PROGRAM);
    std::wstring command_line = L"\"" + path + L"\" " + std::to_wstring(milliseconds);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (start_process(path, command_line, false, 0, nullptr, nullptr, startup, process))
        CloseHandle(process.hThread);
    return process;
}

// A run directory made as the parent makes it (new, marked, published to
// the clean-up), holds released, with files at two levels as extraction
// leaves them.
void make_run_directory(const std::wstring& path) {
    bounded_copy(launcher.run_directory, path.c_str(), RUN_DIRECTORY_CAPACITY);
    EXPECT_TRUE(try_make_run_directory(launcher.run_directory));
    release_run_directory_lock();
    release_lock_file();
    CreateDirectoryW((path + L"\\lib").c_str(), nullptr);
    write_file(path + L"\\main.dll", "library");
    write_file(path + L"\\lib\\module.pyd", std::string(10000, 'm'));
}

class console_handler : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test_program_folder() + L"\\race_work";
        remove_tree(folder_);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        win32 = win32_system;
        win32.WaitForSingleObject = recorded_wait;
        win32.GetExitCodeProcess = recorded_exit_code;
        win32.TerminateProcess = recorded_terminate;
        win32.CloseHandle = recorded_close;
        win32.DuplicateHandle = recorded_duplicate;
        win32.CreateFileW = recorded_create;
        win32.ReOpenFile = recorded_reopen;
        win32.NtOpenFile = recorded_open;
        grace_ms_in_use = CHILD_GRACE_MS;
    }
    void TearDown() override {
        win32 = win32_system;
        launcher.child_process.store(nullptr);
        launcher.launch_phase.store(LAUNCH_UNPACKING);
        unpack_progress.stop_requested.store(false);
        launcher.cleanup_armed.store(false);
        unpublish_made_directory();
        if (!HasFailure()) remove_tree(folder_);
    }

    struct round_result {
        DWORD collected_status;  // what the main thread's end sequence returned
        DWORD child_status;      // what the child really ended with
        bool child_ended;
        bool directory_gone;
        std::vector<std::string> faults;
        int terminations;
        BOOL handler_result;
    };

    // One parent end: the child's handle published as the parent does, the
    // handler on a second thread after `handler_delay_ms`, and the main
    // thread in collect_child and its own clean-up meanwhile.
    round_result race_once(const std::wstring& directory, DWORD child_ms,
                           DWORD handler_delay_ms) {
        round_result result = {};
        make_run_directory(directory);
        bounded_copy(launcher.run_directory, directory.c_str(), RUN_DIRECTORY_CAPACITY);
        launcher.cleanup_armed.store(true);
        recorder.reset();

        PROCESS_INFORMATION child = start_sleeper(child_ms);
        if (child.hProcess == nullptr) {
            result.faults.push_back("the sleeper did not start (error " + std::to_string(GetLastError()) + ")");
            return result;
        }
        // The test's own view of the child, outside the recorded table.
        HANDLE observer = nullptr;
        DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &observer, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        recorder.opened(child.hProcess);
        publish_child_for_handler(child.hProcess);

        std::atomic<BOOL> handler_result{TRUE};
        std::thread handler([&] {
            win32_system.Sleep(handler_delay_ms);
            handler_result = console_control_handler(CTRL_C_EVENT);
        });
        result.collected_status = collect_child(child.hProcess);
        cleanup_run_directory();
        handler.join();

        result.child_ended = WaitForSingleObject(observer, 0) == WAIT_OBJECT_0;
        GetExitCodeProcess(observer, &result.child_status);
        CloseHandle(observer);
        result.directory_gone = GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES;
        result.faults = recorder.faults();
        result.handler_result = handler_result;
        if (launcher.child_process.load() != nullptr)
            result.faults.push_back("a handle is left in launcher.child_process");
        result.terminations = recorder.terminations();
        return result;
    }

    std::wstring folder_;
};

TEST_F(console_handler, races_the_parents_end_without_reusing_or_double_closing_the_handle) {
    std::mt19937 random(12345);
    constexpr int rounds = 45;
    for (int round = 0; round < rounds; ++round) {
        // Two rounds in three the child outlives a shortened grace period and
        // only the handler can end it. In the others it ends by itself within
        // the real grace period, and the handler comes before or after the
        // main thread's end sequence (starting a process under Wine 8 takes
        // about 100 ms).
        bool outlives = round % 3 != 0;
        grace_ms_in_use = outlives ? 20 : CHILD_GRACE_MS;
        DWORD child_ms = outlives ? 60000 : random() % 50;
        DWORD handler_delay_ms = outlives ? random() % 25 : random() % 400;
        std::wstring directory = folder_ + L"\\run_" + std::to_wstring(round);
        round_result result = race_once(directory, child_ms, handler_delay_ms);
        SCOPED_TRACE("round " + std::to_string(round) + ", child " + std::to_string(child_ms) +
                     " ms, handler after " + std::to_string(handler_delay_ms) + " ms");
        for (const std::string& fault : result.faults) ADD_FAILURE() << fault;
        EXPECT_TRUE(result.child_ended);
        EXPECT_TRUE(result.directory_gone);
        EXPECT_EQ(result.collected_status, result.child_status);
        EXPECT_EQ(result.child_status, outlives ? STOPPED_CHILD_EXIT_STATUS : SLEEPER_STATUS);
        EXPECT_EQ(result.terminations, outlives ? 1 : 0);
        if (HasFailure()) break;
    }
}

TEST_F(console_handler, terminates_a_child_only_after_the_full_grace_period) {
    auto started = std::chrono::steady_clock::now();
    round_result result = race_once(folder_ + L"\\run", 60000, 0);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - started)
                       .count();
    for (const std::string& fault : result.faults) ADD_FAILURE() << fault;
    EXPECT_TRUE(result.child_ended);
    EXPECT_EQ(result.collected_status, STOPPED_CHILD_EXIT_STATUS);
    // The launcher goes on to return the status rather than end at once.
    EXPECT_EQ(result.handler_result, TRUE);
    EXPECT_EQ(result.terminations, 1);
    EXPECT_TRUE(result.directory_gone);
    EXPECT_GE(elapsed, static_cast<long long>(CHILD_GRACE_MS) - 100);
}

TEST_F(console_handler, leaves_a_child_that_ends_within_the_grace_period_alone) {
    round_result result = race_once(folder_ + L"\\run", 300, 0);
    for (const std::string& fault : result.faults) ADD_FAILURE() << fault;
    EXPECT_EQ(result.collected_status, SLEEPER_STATUS);
    EXPECT_EQ(result.handler_result, TRUE);
    EXPECT_EQ(result.terminations, 0);
    EXPECT_TRUE(result.directory_gone);
}

// The event's handler may run only after the child has ended and the main
// thread has taken its handle back: it must still let the main thread return
// the child's status, not end the launcher with the event's.
TEST_F(console_handler, an_event_handled_after_the_child_ended_keeps_its_status) {
    round_result result = race_once(folder_ + L"\\run", 0, 1000);
    for (const std::string& fault : result.faults) ADD_FAILURE() << fault;
    EXPECT_EQ(result.collected_status, SLEEPER_STATUS);
    EXPECT_EQ(result.handler_result, TRUE);
    EXPECT_TRUE(result.directory_gone);
}

std::atomic<int> retry_pauses{0};
void WINAPI counting_retry_pause(DWORD milliseconds) {
    if (milliseconds == DELETE_RETRY_PAUSE_MS) ++retry_pauses;
    win32_system.Sleep(milliseconds);
}

// The handler's clean-up and the main thread's may run at once (an event
// while the parent collects its child). Whichever returns first, the
// directory is gone by then (the launcher ends when the main thread
// returns), and neither deleter met the other's half-removed entries: a
// tree nothing else holds goes at the first attempt.
TEST_F(console_handler, two_clean_ups_at_once_leave_nothing_when_either_returns) {
    win32.Sleep = counting_retry_pause;
    retry_pauses = 0;
    // A user's file beside the run directories, with a second name in each.
    std::wstring outside = folder_ + L"\\users_file.txt";
    ASSERT_TRUE(write_file(outside, "the user's"));
    for (int round = 0; round < 40; ++round) {
        std::wstring directory = folder_ + L"\\both_" + std::to_wstring(round);
        make_run_directory(directory);
        ASSERT_TRUE(CreateHardLinkW((directory + L"\\lib\\second_name.txt").c_str(), outside.c_str(), nullptr));
        launcher.cleanup_armed.store(true);
        std::atomic<int> ready{0};
        auto clean_up = [&] {
            ++ready;
            while (ready.load() < 2) SwitchToThread();
            cleanup_run_directory();
        };
        std::thread handler(clean_up);
        clean_up();
        bool gone_on_return = !directory_exists(directory);
        handler.join();
        ASSERT_TRUE(gone_on_return) << "round " << round;
        ASSERT_FALSE(directory_exists(directory)) << "round " << round;
    }
    EXPECT_EQ(retry_pauses.load(), 0);
    EXPECT_EQ(read_file(outside), "the user's");
}

// Counting fakes for the calls a clean-up can make.
struct call_counts {
    int waits, terminations, closes, sleeps;
    std::vector<DWORD> pauses;
};
call_counts counts;

DWORD WINAPI counting_wait(HANDLE, DWORD) {
    ++counts.waits;
    return WAIT_FAILED;
}
BOOL WINAPI counting_terminate(HANDLE, UINT) {
    ++counts.terminations;
    return FALSE;
}
BOOL WINAPI counting_close(HANDLE handle) {
    ++counts.closes;
    return win32_system.CloseHandle(handle);
}
// The deleter cannot open anything.
NTSTATUS NTAPI refused_open(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG) {
    return static_cast<NTSTATUS>(0xC0000022);  // access denied
}
void WINAPI counting_sleep(DWORD milliseconds) {
    ++counts.sleeps;
    counts.pauses.push_back(milliseconds);
}

class cleanup_calls : public ::testing::Test {
protected:
    void SetUp() override {
        counts = {};
        folder_ = test_program_folder() + L"\\cleanup_work";
        remove_tree(folder_);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        run_directory_ = folder_ + L"\\onefile_1_2";
        win32 = win32_system;
        win32.WaitForSingleObject = counting_wait;
        win32.TerminateProcess = counting_terminate;
        win32.CloseHandle = counting_close;
        win32.Sleep = counting_sleep;
    }
    void TearDown() override {
        win32 = win32_system;
        launcher.child_process.store(nullptr);
        launcher.launch_phase.store(LAUNCH_UNPACKING);
        unpack_progress.stop_requested.store(false);
        launcher.cleanup_armed.store(false);
        unpublish_made_directory();
        remove_tree(folder_);
    }
    int platform_calls() const { return counts.waits + counts.terminations + counts.closes + counts.sleeps; }
    std::wstring folder_;
    std::wstring run_directory_;
};

TEST_F(cleanup_calls, without_child_and_unarmed_make_no_platform_call) {
    make_run_directory(run_directory_);
    launcher.cleanup_armed.store(false);
    counts = {};
    cleanup_run_directory();
    EXPECT_EQ(platform_calls(), 0);
    EXPECT_TRUE(directory_exists(run_directory_));
}

TEST_F(cleanup_calls, ignore_control_types_other_than_the_five_events) {
    make_run_directory(run_directory_);
    launcher.cleanup_armed.store(true);
    counts = {};
    for (DWORD type : {3u, 4u, 7u, 8u, 0xFFFFFFFFu}) EXPECT_EQ(console_control_handler(type), FALSE);
    EXPECT_EQ(platform_calls(), 0);
    EXPECT_TRUE(directory_exists(run_directory_));
    // Before the child Ctrl+C and Ctrl+Break only stop unpacking: the main
    // thread deletes and ends with the event's status, so the event is
    // handled (the default handling would end the launcher with 0 under Wine).
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        launcher.launch_phase.store(LAUNCH_UNPACKING);
        unpack_progress.stop_requested.store(false);
        EXPECT_EQ(console_control_handler(type), TRUE) << "control type " << type;
        EXPECT_TRUE(unpack_progress.stop_requested.load()) << "control type " << type;
        EXPECT_FALSE(claim_child_start()) << "control type " << type;
        EXPECT_TRUE(directory_exists(run_directory_)) << "control type " << type;
    }
    launcher.launch_phase.store(LAUNCH_CHILD_STARTED);
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                       CTRL_SHUTDOWN_EVENT}) {
        if (!directory_exists(run_directory_)) make_run_directory(run_directory_);
        BOOL handled = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
        EXPECT_EQ(console_control_handler(type), handled);
        EXPECT_FALSE(directory_exists(run_directory_)) << "control type " << type;
        EXPECT_FALSE(file_exists(run_directory_ + L".lock")) << "control type " << type;
    }
}

// Only what this process made: a folder standing at the run directory's
// path that it did not make (a user's own, or one put there after the
// made one was moved away) is left whole, and nothing is retried.
TEST_F(cleanup_calls, leave_a_directory_this_process_did_not_make) {
    std::wstring users = folder_ + L"\\users";
    ASSERT_TRUE(CreateDirectoryW(users.c_str(), nullptr));
    ASSERT_TRUE(write_file(users + L"\\settings.ini", "the user's"));
    bounded_copy(launcher.run_directory, users.c_str(), RUN_DIRECTORY_CAPACITY);
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_EQ(read_file(users + L"\\settings.ini"), "the user's");

    make_run_directory(run_directory_);
    ASSERT_TRUE(MoveFileExW(run_directory_.c_str(), (folder_ + L"\\moved").c_str(), 0));
    ASSERT_TRUE(CreateDirectoryW(run_directory_.c_str(), nullptr));
    ASSERT_TRUE(write_file(run_directory_ + L"\\profile.dat", "someone else's"));
    counts = {};
    cleanup_run_directory();
    EXPECT_EQ(read_file(run_directory_ + L"\\profile.dat"), "someone else's");
    EXPECT_EQ(counts.sleeps, 0);
}

TEST_F(cleanup_calls, remove_the_tree_and_its_lock_file_without_a_pause) {
    make_run_directory(run_directory_);
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_FALSE(directory_exists(run_directory_));
    EXPECT_FALSE(file_exists(run_directory_ + L".lock"));
    EXPECT_EQ(counts.sleeps, 0);
}

// A tree in which the deleter left a link gets no retry, and its lock file
// stays with it (its mark lets a later sweep take what is left).
TEST_F(cleanup_calls, never_retry_a_tree_holding_a_link) {
    make_run_directory(run_directory_);
    std::wstring outside = folder_ + L"\\outside.txt";
    ASSERT_TRUE(write_file(outside, "not the launcher's"));
    ASSERT_TRUE(make_unix_link(outside, run_directory_ + L"\\lib\\link.txt"));
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_EQ(counts.sleeps, 0);
    EXPECT_EQ(read_file(outside), "not the launcher's");
    EXPECT_FALSE(file_exists(run_directory_ + L"\\main.dll"));
    EXPECT_TRUE(file_exists(run_directory_ + L".lock"));
    remove_unix_link(run_directory_ + L"\\lib\\link.txt");
}

TEST_F(cleanup_calls, of_a_directory_that_cannot_be_removed_give_up_after_twenty_retries) {
    make_run_directory(run_directory_);
    win32.NtOpenFile = refused_open;
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_EQ(counts.sleeps, 20);
    EXPECT_EQ(counts.pauses, std::vector<DWORD>(20, 100));
    EXPECT_TRUE(directory_exists(run_directory_));
}

// A read-only file outside with a second name in the run directory: the
// clean-up removes the run directory's name, or leaves it, but never makes
// the file writable (the shell's request by path did).
TEST_F(cleanup_calls, leave_a_read_only_file_outside_as_it_was_when_it_has_a_name_inside) {
    make_run_directory(run_directory_);
    std::wstring outside = folder_ + L"\\outside.bin";
    ASSERT_TRUE(write_file(outside, "not the launcher's"));
    ASSERT_TRUE(run_unix_command(L"chmod 444 '" + unix_path_of(outside) + L"'"));
    ASSERT_TRUE(CreateHardLinkW((run_directory_ + L"\\lib\\second_name.bin").c_str(),
                                outside.c_str(), nullptr));
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_EQ(read_file(outside), "not the launcher's");
    EXPECT_EQ(unix_mode_of(outside), "444");
    EXPECT_EQ(counts.sleeps, 0);
}

// A FIFO is removed as a name, never opened (an open waits for a writer),
// and costs no retry: Wine 8 refuses it a delete disposition.
TEST_F(cleanup_calls, remove_a_fifo_in_the_run_directory_without_retrying) {
    make_run_directory(run_directory_);
    ASSERT_TRUE(run_unix_command(L"mkfifo '" + unix_path_of(run_directory_ + L"\\lib") + L"/pipe'"));
    launcher.cleanup_armed.store(true);
    cleanup_run_directory();
    EXPECT_FALSE(directory_exists(run_directory_));
    EXPECT_EQ(counts.sleeps, 0);
}

// The sweep's thread may be ended by the process's exit at any moment: in
// a heap, it would leave the heap's lock taken for the exit, which then
// waits for ever. With the process's heap and the runtime's held by another
// thread from the sweep's first call on, it must still remove a leftover.
HANDLE sweep_started, heaps_held;
BOOL WINAPI priority_after_the_heaps_are_held(HANDLE thread, int priority) {
    SetEvent(sweep_started);
    WaitForSingleObject(heaps_held, INFINITE);
    return win32_system.SetThreadPriority(thread, priority);
}

TEST(sweep_thread, removes_a_leftover_while_another_thread_holds_the_heaps) {
    std::wstring folder = test_program_folder() + L"\\sweep_heaps";
    remove_tree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring outside = folder + L"\\outside.txt";
    ASSERT_TRUE(write_file(outside, "not the launcher's"));
    // A leftover as a launcher leaves it: its lock file's mark names it.
    std::wstring leftover = folder + L"\\onefile_7_1000";  // no process has an odd id
    ASSERT_TRUE(CreateDirectoryW(leftover.c_str(), nullptr));
    ASSERT_TRUE(write_file(leftover + L"\\main.dll", "left over"));
    HANDLE directory = CreateFileW(leftover.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION identity = {};
    ASSERT_TRUE(GetFileInformationByHandle(directory, &identity));
    CloseHandle(directory);
    lock_mark mark = {};
    std::memcpy(mark.magic, LOCK_MARK_MAGIC, sizeof mark.magic);
    mark.directory_index = (static_cast<int64_t>(identity.nFileIndexHigh) << 32) | identity.nFileIndexLow;
    ASSERT_TRUE(write_file(leftover + L".lock", std::string(reinterpret_cast<const char*>(&mark), sizeof mark)));
    std::wstring own = folder + L"\\onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_2000";
    bounded_copy(launcher.run_directory, own.c_str(), RUN_DIRECTORY_CAPACITY);
    launcher.run_directory_template = DEFAULT_RUN_DIRECTORY_TEMPLATE;
    launcher.keep_run_directory.store(false);
    HANDLE folder_handle = folder_open(folder.c_str());
    ASSERT_NE(folder_handle, INVALID_HANDLE_VALUE);
    static wchar_t own_path[32768];
    ASSERT_TRUE(folder_own_path(folder_handle, own_path, 32768));
    sweep_started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    heaps_held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    win32 = win32_system;
    win32.SetThreadPriority = priority_after_the_heaps_are_held;

    start_sweep();
    ASSERT_EQ(WaitForSingleObject(sweep_started, 10000), WAIT_OBJECT_0);
    HANDLE heaps[] = {GetProcessHeap(), reinterpret_cast<HANDLE>(_get_heap_handle())};
    for (HANDLE heap : heaps) HeapLock(heap);
    SetEvent(heaps_held);
    // Nothing on this thread enters a heap until they are released.
    bool gone = false;
    for (ULONGLONG deadline = GetTickCount64() + 10000; !gone && GetTickCount64() < deadline;) {
        Sleep(20);
        gone = true;
        for (const wchar_t* name : {L"onefile_7_1000", L"onefile_7_1000.swept"}) {
            opened_entry entry = entry_open(folder_handle, own_path, name, 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
            if (entry.handle != INVALID_HANDLE_VALUE) CloseHandle(entry.handle);
            if (entry.kind != entry_kind::gone) gone = false;
        }
    }
    for (HANDLE heap : heaps) HeapUnlock(heap);
    finish_sweep();
    win32 = win32_system;
    CloseHandle(folder_handle);
    CloseHandle(sweep_started);
    CloseHandle(heaps_held);
    EXPECT_TRUE(gone) << "the sweep's thread waited for a heap";
    EXPECT_EQ(read_file(outside), "not the launcher's");
    remove_tree(folder);
}

}  // namespace
