// Deletion alone, to show what the run directory's removal costs by itself:
// bench_delete.exe shell DIR deletes DIR the way the launcher does (one
// FO_DELETE request to the shell, silent, no confirmation, no error UI, no
// undo); bench_delete.exe walk DIR deletes it with a plain depth-first walk
// (FindFirstFileW, DeleteFileW, RemoveDirectoryW) for comparison.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

bool delete_with_shell(const wchar_t* directory) {
    std::wstring from(directory);
    from.push_back(L'\0');  // a list of one path ends with two NUL units
    SHFILEOPSTRUCTW request = {};
    request.wFunc = FO_DELETE;
    request.pFrom = from.c_str();
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return SHFileOperationW(&request) == 0;
}

bool delete_by_walk(const std::wstring& directory) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0)
                continue;
            std::wstring path = directory + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!delete_by_walk(path)) return false;
            } else if (!DeleteFileW(path.c_str())) {
                return false;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(directory.c_str()) != 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (__argc != 3) return 2;
    if (std::wcscmp(__wargv[1], L"shell") == 0) return delete_with_shell(__wargv[2]) ? 0 : 1;
    if (std::wcscmp(__wargv[1], L"walk") == 0) return delete_by_walk(__wargv[2]) ? 0 : 1;
    return 2;
}
