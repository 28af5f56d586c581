// Every Win32 function the launcher calls, in one table made from one list.
// The product fills it with the system's own functions; a test replaces
// entries to count calls or to make a chosen call fail. Windows only; no
// launcher logic here.
#pragma once
#ifndef _WIN32
#error "win32_api.h is for the Windows build only"
#endif

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <psapi.h>
#include <winternl.h>
#include <aclapi.h>

// GetFinalPathNameByHandleW is looked up at run time (the identity code calls
// GetModuleHandleA and GetProcAddress), so only its type is needed here.
using GetFinalPathNameByHandleW_fn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// Native calls of the tree deleter: an open relative to a directory handle
// and a listing through one have no Win32 form.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                               PVOID, ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                               PUNICODE_STRING, BOOLEAN);
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS);

// Under Wine on a Linux host: the Unix descriptor behind a handle (a
// duplicate the caller closes), and a call of the Linux kernel itself.
using wine_server_handle_to_fd_fn = NTSTATUS(CDECL*)(HANDLE, unsigned int, int*, unsigned int*);
using linux_call_fn = long long (*)(long long number, long long first, long long second,
                                    long long third, long long fourth);

// What a function of the list returns when it fails, where that is not a
// plain value of its own type (the third column of the list).
constexpr NTSTATUS FAILED_STATUS = static_cast<NTSTATUS>(0xC0000001);  // STATUS_UNSUCCESSFUL
constexpr long long FAILED_LINUX_CALL = -5;                            // -EIO
// The few that cannot fail.
struct never_fails {};
constexpr never_fails NEVER_FAILS = {};

// The one list of the functions in the table: the table below, the system's
// functions behind it (win32_api.cpp) and the tests' fault module are all
// made from it, so a function is added or removed here and nowhere else.
// Each entry is X(kind, name, what it returns when it fails):
//   SYSTEM  imported from the system
//   LOADED  looked up in its library on first use (win32_api.cpp says why)
//   HOST    Wine on a Linux host only; null elsewhere
#define WIN32_FUNCTIONS(X)                                              \
    /* Processes and modules. */                                        \
    X(SYSTEM, GetCurrentProcessId, NEVER_FAILS)                         \
    X(SYSTEM, OpenProcess, nullptr)                                     \
    X(SYSTEM, K32GetModuleFileNameExW, 0)                               \
    X(SYSTEM, QueryFullProcessImageNameW, FALSE)                        \
    X(SYSTEM, GetModuleFileNameW, 0)                                    \
    X(SYSTEM, GetModuleHandleA, nullptr)                                \
    X(SYSTEM, GetProcAddress, nullptr)                                  \
    X(SYSTEM, GetCommandLineW, NEVER_FAILS)                             \
    X(SYSTEM, CreateProcessW, FALSE)                                    \
    X(SYSTEM, WaitForSingleObject, WAIT_FAILED)                         \
    X(SYSTEM, GetExitCodeProcess, FALSE)                                \
    X(SYSTEM, TerminateProcess, FALSE)                                  \
    X(SYSTEM, CloseHandle, FALSE)                                       \
    X(SYSTEM, GetCurrentProcess, NEVER_FAILS)                           \
    X(SYSTEM, DuplicateHandle, FALSE)                                   \
    X(SYSTEM, GetStdHandle, INVALID_HANDLE_VALUE)                       \
    X(SYSTEM, SetConsoleCtrlHandler, FALSE)                             \
    X(SYSTEM, Sleep, NEVER_FAILS)                                       \
    X(SYSTEM, FormatMessageA, 0)                                        \
    /* Resources of the own module. */                                  \
    X(SYSTEM, FindResourceA, nullptr)                                   \
    X(SYSTEM, LoadResource, nullptr)                                    \
    X(SYSTEM, LockResource, nullptr)                                    \
    X(SYSTEM, SizeofResource, 0)                                        \
    /* Files, directories and paths. */                                 \
    X(SYSTEM, CreateFileW, INVALID_HANDLE_VALUE)                        \
    X(SYSTEM, WriteFile, FALSE)                                         \
    X(SYSTEM, CreateDirectoryW, FALSE)                                  \
    X(SYSTEM, GetFileAttributesW, INVALID_FILE_ATTRIBUTES)              \
    X(SYSTEM, GetShortPathNameW, 0)                                     \
    X(SYSTEM, GetTempPathW, 0)                                          \
    /* Environment and time. */                                         \
    X(SYSTEM, GetEnvironmentVariableW, 0)                               \
    X(SYSTEM, SetEnvironmentVariableW, FALSE)                           \
    X(SYSTEM, GetSystemTimeAsFileTime, NEVER_FAILS)                     \
    /* Library loading. */                                              \
    X(SYSTEM, SetDefaultDllDirectories, FALSE)                          \
    X(SYSTEM, AddDllDirectory, nullptr)                                 \
    X(SYSTEM, LoadLibraryExW, nullptr)                                  \
    /* Shell. */                                                        \
    X(LOADED, SHGetFolderPathW, E_FAIL)                                 \
    X(LOADED, CommandLineToArgvW, nullptr)                              \
    /* The run directory's lock, the sweep of leftovers, the threads    \
       of the sweep, the progress window and the decoders. */           \
    X(SYSTEM, CreateThread, nullptr)                                    \
    X(SYSTEM, GetProcessTimes, FALSE)                                   \
    X(SYSTEM, SetFileInformationByHandle, FALSE)                        \
    /* The tree deleter and the directory listing. */                   \
    X(SYSTEM, NtOpenFile, FAILED_STATUS)                                \
    X(SYSTEM, NtQueryDirectoryFile, FAILED_STATUS)                      \
    X(SYSTEM, NtQueryObject, FAILED_STATUS)                             \
    X(SYSTEM, NtQueryInformationFile, FAILED_STATUS)                    \
    X(SYSTEM, ReOpenFile, INVALID_HANDLE_VALUE)                         \
    X(SYSTEM, GetFileInformationByHandleEx, FALSE)                      \
    /* The run directory's access list and owner, the cross-process     \
       lock, the sweep's priority. */                                   \
    X(SYSTEM, OpenProcessToken, FALSE)                                  \
    X(SYSTEM, GetTokenInformation, FALSE)                               \
    X(SYSTEM, GetKernelObjectSecurity, FALSE)                           \
    X(SYSTEM, LockFileEx, FALSE)                                        \
    X(SYSTEM, SetThreadPriority, FALSE)                                 \
    /* Failure reports for a process without usable standard streams:   \
       the stream check, and the box. */                                \
    X(SYSTEM, GetFileType, FILE_TYPE_UNKNOWN)                           \
    X(LOADED, MessageBoxW, 0)                                           \
    /* Naming the library a failed load could not find: the folder      \
       the loader searches after the application library's own. */      \
    X(SYSTEM, GetSystemDirectoryW, 0)                                   \
    X(SYSTEM, SearchPathW, 0)                                           \
    /* The progress window's thread: its signals, its clock, and the    \
       loading of user32 and comctl32, which only that thread does and  \
       only after its delay (their functions are looked up through      \
       GetProcAddress). */                                              \
    X(SYSTEM, CreateEventW, nullptr)                                    \
    X(SYSTEM, SetEvent, FALSE)                                          \
    X(SYSTEM, GetTickCount64, NEVER_FAILS)                              \
    X(SYSTEM, LoadLibraryW, nullptr)                                    \
    X(SYSTEM, GetModuleHandleW, nullptr)                                \
    /* The cache: its record read back, its entries' sizes, the         \
       staging directory renamed into place, its files on the disk      \
       before its record. */                                            \
    X(SYSTEM, ReadFile, FALSE)                                          \
    X(SYSTEM, FlushFileBuffers, FALSE)                                  \
    /* A cache not yet recorded: the event its users hold meanwhile. */ \
    X(SYSTEM, OpenEventW, nullptr)                                      \
    /* The sweep's rename, with a buffer of its own (no heap on its     \
       thread). */                                                      \
    X(SYSTEM, NtSetInformationFile, FAILED_STATUS)                      \
    /* The deleter under Wine on a Linux host removes names through     \
       the Unix descriptors of its proven directory handles. */         \
    X(HOST, wine_server_handle_to_fd, FAILED_STATUS)                    \
    X(HOST, linux_call, FAILED_LINUX_CALL)

#define WIN32_MEMBER_SYSTEM(name) decltype(&::name) name;
#define WIN32_MEMBER_LOADED(name) decltype(&::name) name;
#define WIN32_MEMBER_HOST(name) name##_fn name;
#define WIN32_MEMBER(kind, name, failure) WIN32_MEMBER_##kind(name)

struct win32_api {
    WIN32_FUNCTIONS(WIN32_MEMBER)
};

// The table the launcher calls through.
extern win32_api win32;

// The system's own functions; a test restores `win32` from it.
extern const win32_api win32_system;
