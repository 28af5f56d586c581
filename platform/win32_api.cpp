// The system's functions behind the launcher's Win32 table.
#include "platform/win32_api.h"

const win32_api win32_system = {
    ::GetCurrentProcessId, ::OpenProcess,      ::K32GetModuleFileNameExW,
    ::GetModuleFileNameW,  ::GetModuleHandleA, ::GetProcAddress,
    ::GetCommandLineW,     ::CreateProcessW,   ::WaitForSingleObject,
    ::GetExitCodeProcess,  ::TerminateProcess, ::CloseHandle,
    ::GetCurrentProcess,   ::DuplicateHandle,
    ::GetStdHandle,        ::SetConsoleCtrlHandler, ::Sleep,
    ::FormatMessageA,      ::FindResourceA,    ::LoadResource,
    ::LockResource,        ::SizeofResource,   ::CreateFileW,
    ::WriteFile,           ::CreateDirectoryW, ::GetFileAttributesW,
    ::GetShortPathNameW,   ::GetTempPathW,     ::GetEnvironmentVariableW,
    ::SetEnvironmentVariableW, ::GetSystemTimeAsFileTime, ::AddDllDirectory,
    ::LoadLibraryExW,      ::SHGetFolderPathW, ::CommandLineToArgvW,
    ::SHFileOperationW,
};

win32_api win32 = win32_system;
