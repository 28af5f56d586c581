// Every Win32 function the launcher calls, in one table. The product fills it
// with the system's own functions; a test replaces entries to count calls or
// to make a chosen call fail. Windows only; no launcher logic here.
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
using wine_handle_to_fd_fn = NTSTATUS(CDECL*)(HANDLE, unsigned int, int*, unsigned int*);
using linux_call_fn = long long (*)(long long number, long long first, long long second,
                                    long long third, long long fourth);

struct win32_api {
    // Processes and modules.
    decltype(&::GetCurrentProcessId) GetCurrentProcessId;
    decltype(&::OpenProcess) OpenProcess;
    decltype(&::K32GetModuleFileNameExW) K32GetModuleFileNameExW;
    decltype(&::QueryFullProcessImageNameW) QueryFullProcessImageNameW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetModuleHandleA) GetModuleHandleA;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::GetCommandLineW) GetCommandLineW;
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
    decltype(&::TerminateProcess) TerminateProcess;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetCurrentProcess) GetCurrentProcess;
    decltype(&::DuplicateHandle) DuplicateHandle;
    decltype(&::GetStdHandle) GetStdHandle;
    decltype(&::SetConsoleCtrlHandler) SetConsoleCtrlHandler;
    decltype(&::Sleep) Sleep;
    decltype(&::FormatMessageA) FormatMessageA;
    // Resources of the own module.
    decltype(&::FindResourceA) FindResourceA;
    decltype(&::LoadResource) LoadResource;
    decltype(&::LockResource) LockResource;
    decltype(&::SizeofResource) SizeofResource;
    // Files, directories and paths.
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::GetShortPathNameW) GetShortPathNameW;
    decltype(&::GetTempPathW) GetTempPathW;
    // Environment and time.
    decltype(&::GetEnvironmentVariableW) GetEnvironmentVariableW;
    decltype(&::SetEnvironmentVariableW) SetEnvironmentVariableW;
    decltype(&::GetSystemTimeAsFileTime) GetSystemTimeAsFileTime;
    // Library loading.
    decltype(&::AddDllDirectory) AddDllDirectory;
    decltype(&::LoadLibraryExW) LoadLibraryExW;
    // Shell.
    decltype(&::SHGetFolderPathW) SHGetFolderPathW;
    decltype(&::CommandLineToArgvW) CommandLineToArgvW;
    decltype(&::SHFileOperationW) SHFileOperationW;
    // The run directory lock and the sweep of leftovers.
    decltype(&::CreateThread) CreateThread;
    decltype(&::GetProcessTimes) GetProcessTimes;
    decltype(&::GetFullPathNameW) GetFullPathNameW;
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW;
    // The tree deleter (tree_deleter_win32.cpp).
    decltype(&::NtOpenFile) NtOpenFile;
    decltype(&::NtQueryDirectoryFile) NtQueryDirectoryFile;
    decltype(&::NtQueryObject) NtQueryObject;
    decltype(&::NtQueryInformationFile) NtQueryInformationFile;
    decltype(&::ReOpenFile) ReOpenFile;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    // The run directory's access list and owner, the cross-process lock, the
    // sweep's priority.
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::GetKernelObjectSecurity) GetKernelObjectSecurity;
    decltype(&::LockFileEx) LockFileEx;
    decltype(&::SetThreadPriority) SetThreadPriority;
    // Failure reports for a process without usable standard streams: the
    // stream check, and the box (user32, loaded only when a box is shown).
    decltype(&::GetFileType) GetFileType;
    decltype(&::MessageBoxW) MessageBoxW;
    // Naming the library a failed load could not find: the folders the
    // loader searches after the application library's own.
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW;
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::SearchPathW) SearchPathW;
    // The progress window's thread: its signals, its clock, and the loading
    // of user32 and comctl32, which only that thread does and only after its
    // delay (their functions are looked up through GetProcAddress).
    decltype(&::CreateEventW) CreateEventW;
    decltype(&::SetEvent) SetEvent;
    decltype(&::GetTickCount64) GetTickCount64;
    decltype(&::LoadLibraryW) LoadLibraryW;
    decltype(&::GetModuleHandleW) GetModuleHandleW;
    // The marks read back.
    decltype(&::ReadFile) ReadFile;
    // A cache's files reach the disk before its record.
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    // Renames through a held handle (the sweep's, a cache's staging
    // directory into place), with a buffer of its own (no heap on the
    // sweep's thread).
    decltype(&::NtSetInformationFile) NtSetInformationFile;
    // The deleter under Wine on a Linux host removes names through the Unix
    // descriptors of its proven directory handles; both null elsewhere.
    wine_handle_to_fd_fn wine_server_handle_to_fd;
    linux_call_fn linux_call;
};

// The table the launcher calls through.
extern win32_api win32;

// The system's own functions; a test restores `win32` from it.
extern const win32_api win32_system;
