// The run library loaded into the test process, its imports of a few system
// calls pointed at stand-ins, to check what it reports when one fails.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/launcher/e2e_harness.h"

namespace {

using run_code_fn = int (*)(int, wchar_t**);

// Points `module`'s import of `function` at `replacement`.
bool replace_import(HMODULE module, const char* function, const void* replacement) {
    auto base = reinterpret_cast<BYTE*>(module);
    auto headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports_at = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports_at); library->Name != 0; ++library) {
        auto name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name, function) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection))
                return false;
            slot->u1.Function = reinterpret_cast<ULONGLONG>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

// A read that fails as on a failing disk, and a close that leaves
// ERROR_SUCCESS behind, as a successful call may.
BOOL WINAPI failing_read(HANDLE, LPVOID, DWORD, LPDWORD count, LPOVERLAPPED) {
    if (count != nullptr) *count = 0;
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
BOOL WINAPI close_leaving_success(HANDLE handle) {
    BOOL closed = CloseHandle(handle);
    SetLastError(ERROR_SUCCESS);
    return closed;
}

}  // namespace

// The error reported is the failed read's, taken before the file is closed.
TEST(run_library, reports_the_error_of_the_read_that_failed) {
    std::wstring folder = test_program_folder() + L"\\run_library_errors";
    remove_tree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring library_path = folder + L"\\onefile-run.dll", error_path = folder + L"\\stderr.txt";
    ASSERT_TRUE(write_file(library_path, read_file(windows_path(RUN_LIBRARY))));
    ASSERT_TRUE(write_file(folder + L"\\.onefile-run", "program.exe"));
    HMODULE library = LoadLibraryW(library_path.c_str());
    ASSERT_NE(library, nullptr);
    auto run_code = reinterpret_cast<run_code_fn>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    ASSERT_NE(run_code, nullptr);
    ASSERT_TRUE(replace_import(library, "ReadFile", reinterpret_cast<const void*>(&failing_read)));
    ASSERT_TRUE(replace_import(library, "CloseHandle", reinterpret_cast<const void*>(&close_leaving_success)));

    HANDLE error_file = CreateFileW(error_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, error_file);
    wchar_t argument[] = L"launcher.exe";
    wchar_t* arguments[] = {argument, nullptr};
    int status = run_code(1, arguments);
    SetStdHandle(STD_ERROR_HANDLE, saved);
    CloseHandle(error_file);
    FreeLibrary(library);

    EXPECT_EQ(status, 2);
    std::string line = read_file(error_path);
    EXPECT_EQ(line.rfind("Error, couldn't find the program to run () ([Error 1117] ", 0), 0u) << line;
    if (!HasFailure()) remove_tree(folder);
}
