// The folders pack takes missing libraries from when the user names none:
// where the mingw-w64 compiler keeps its own runtime (libstdc++, libgcc,
// winpthread), as onefile_pack() asks its compiler, and mingw-w64's folder of
// Windows binaries, where Debian's mingw packages put their DLLs. Asks the
// compiler on PATH; nothing here decides what is taken.
#include <cstdio>
#include <string>

#include "checks.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

namespace pack {

namespace {

#ifdef _WIN32
const char* const COMPILERS[] = {"x86_64-w64-mingw32-g++", "g++"};
constexpr char DISCARD_ERRORS[] = " 2>nul";
#else
// Debian's posix-thread variant first: the project's own toolchain file and
// the C++ runtime that supports std::thread.
const char* const COMPILERS[] = {"x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-g++"};
constexpr char DISCARD_ERRORS[] = " 2>/dev/null";
#endif
const char* const RUNTIME_LIBRARIES[] = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"};
constexpr char MINGW_BINARIES[] = "/usr/x86_64-w64-mingw32/bin";

// The compiler's answer to -print-file-name; empty when it has none (it then
// echoes the bare name) or cannot be run.
fs::path print_file_name(const char* compiler, const char* library) {
    std::string command = std::string(compiler) + " -print-file-name=" + library + DISCARD_ERRORS;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string answer;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) answer += buffer;
    pclose(pipe);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    fs::path path = fs::u8path(answer);
    std::error_code error;
    if (!path.is_absolute() || !fs::is_regular_file(path, error)) return {};
    return path;
}

void add_folder(std::vector<fs::path>& folders, const fs::path& folder) {
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(folder, error);
    if (error) canonical = folder.lexically_normal();
    for (const fs::path& known : folders)
        if (known == canonical) return;
    folders.push_back(canonical);
}

}  // namespace

std::vector<fs::path> default_search_paths() {
    std::vector<fs::path> folders;
    for (const char* compiler : COMPILERS) {
        for (const char* library : RUNTIME_LIBRARIES) {
            fs::path found = print_file_name(compiler, library);
            if (found.empty()) continue;
            add_folder(folders, found.parent_path());
            // winpthread lies in the toolchain's lib folder; the DLLs of
            // libraries built for that toolchain lie in the bin folder beside it.
            if (found.parent_path().filename() == "lib") add_folder(folders, found.parent_path().parent_path() / "bin");
        }
        if (!folders.empty()) break;  // one compiler's runtime, as a build uses one
    }
#ifndef _WIN32
    add_folder(folders, MINGW_BINARIES);
#endif
    return folders;
}

}  // namespace pack
