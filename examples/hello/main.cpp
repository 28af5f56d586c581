// A small packaged application: it shows what a launched program sees (its
// arguments, where it runs, the launcher's variables) and reads a data file
// that was packed beside it.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The console may use any code page; UTF-8 is what the demo's terminal reads.
std::string utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

void show_variable(const wchar_t* name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    std::printf("  %-26s %s\n", utf8(name).c_str(), length ? utf8(value).c_str() : "(not set)");
}

std::wstring own_folder() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_folder), &self);
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
    std::printf("hello from the packed application\n");
    std::printf("arguments (%d):\n", argc);
    for (int i = 0; i < argc; ++i) std::printf("  [%d] %s\n", i, utf8(argv[i]).c_str());

    std::wstring folder = own_folder();
    wchar_t current[MAX_PATH * 4];
    GetCurrentDirectoryW(MAX_PATH * 4, current);
    std::printf("running from:      %s\n", utf8(folder.c_str()).c_str());
    std::printf("current directory: %s\n", utf8(current).c_str());

    std::printf("variables:\n");
    for (const wchar_t* name : {L"TALVOR_ONEFILE_PARENT", L"TALVOR_ONEFILE_START",
                                L"TALVOR_ONEFILE_DIRECTORY", L"TALVOR_ORIGINAL_ARGV0"})
        show_variable(name);

    std::wstring data_file = folder + L"\\data\\texts\\greeting.txt";
    FILE* file = _wfopen(data_file.c_str(), L"rb");
    if (file == nullptr) {
        std::printf("cannot read %s\n", utf8(data_file.c_str()).c_str());
        return 1;
    }
    char text[256] = {};
    size_t size = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::printf("data\\texts\\greeting.txt says: %.*s", static_cast<int>(size), text);
    std::fflush(stdout);
    return 0;
}
