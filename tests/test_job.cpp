// Linked into every Windows test program: the program runs in a job object
// of its own that kills on close, so whatever it starts (launchers, their
// children, applications) ends with it, also when ctest ends it at a
// time-out. Under Wine a process's Unix standard error is the one of the
// process that started it, ctest's output pipe in the end: one process left
// running would keep ctest waiting for the pipe. After each test a process
// of the job still running fails that test by name and is ended.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

// A test's processes end by themselves within this after the test (a
// launcher's child has a grace period of 5 s after a console event).
constexpr DWORD LEFTOVER_GRACE_MS = 10000;

HANDLE make_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // Breaking away stays allowed: the run library's own job allows it.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return nullptr;
    }
    return job;  // closed by the program's end, which ends every process left
}

struct job_process {
    DWORD id;
    std::string name;
};

// The processes of `job` besides this one. Wine's own (conhost.exe for a
// new console, explorer.exe for a desktop) serve every later test too and
// end with the job.
std::vector<job_process> processes_of(HANDLE job) {
    std::vector<job_process> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        if (lstrcmpiW(entry.szExeFile, L"conhost.exe") == 0 || lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        BOOL in_job = FALSE;
        if (IsProcessInJob(process, job, &in_job) && in_job) {
            std::string name;
            for (const wchar_t* unit = entry.szExeFile; *unit != 0; ++unit)
                name += *unit < 0x80 ? static_cast<char>(*unit) : '?';
            found.push_back({entry.th32ProcessID, name});
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

class leftover_check : public ::testing::EmptyTestEventListener {
public:
    explicit leftover_check(HANDLE job) : job_(job) {}

    void OnTestEnd(const ::testing::TestInfo&) override {
        std::vector<HANDLE> waiting;
        std::vector<job_process> named;
        for (const job_process& process : processes_of(job_)) {
            HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process.id);
            if (handle == nullptr) continue;
            waiting.push_back(handle);
            named.push_back(process);
        }
        if (waiting.empty()) return;
        // One wait on all of them, ended by the last one's end.
        ULONGLONG deadline = GetTickCount64() + LEFTOVER_GRACE_MS;
        for (size_t index = 0; index < waiting.size(); ++index) {
            ULONGLONG now = GetTickCount64();
            DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(waiting[index], left) == WAIT_OBJECT_0) continue;
            ADD_FAILURE() << "process " << named[index].id << " (" << named[index].name
                          << ") still runs " << LEFTOVER_GRACE_MS << " ms after the test; ended";
            TerminateProcess(waiting[index], 1);
            WaitForSingleObject(waiting[index], LEFTOVER_GRACE_MS);
        }
        for (HANDLE handle : waiting) CloseHandle(handle);
    }

private:
    HANDLE job_;
};

struct install_job {
    install_job() {
        HANDLE job = make_job();
        if (job == nullptr) {
            fprintf(stderr, "test_job: no job object (error %lu): processes may outlive tests\n",
                    GetLastError());
            return;
        }
        ::testing::UnitTest::GetInstance()->listeners().Append(new leftover_check(job));
    }
} installed;

}  // namespace
