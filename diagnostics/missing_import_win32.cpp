// Which library a failed load of the application library could not find: the
// first import of the application library, or of a library beside it, that
// neither lies beside it nor is found along the loader's search. Runs only on
// that failure path, to name the library in the failure box. Win32 calls only.
#include "diagnostics/failure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

// Libraries beside the application library that the walk visits at most; an
// application with more still gets its answer for the first ones.
constexpr size_t MAX_LIBRARIES_WALKED = 64;
constexpr size_t MAX_IMPORT_NAME = 260;
constexpr size_t BESIDE_PATH_CAPACITY = RUN_DIRECTORY_CAPACITY + MAX_IMPORT_NAME + 1;
// The system folder.
constexpr size_t SYSTEM_FOLDER_CAPACITY = 1024;
// A found path longer than this still counts as found (SearchPathW then
// returns the size it would need, never 0).
constexpr size_t FOUND_PATH_CAPACITY = 1024;

struct walked_library {
    char name[MAX_IMPORT_NAME];
};
walked_library walked[MAX_LIBRARIES_WALKED];
size_t walked_count;

bool same_name(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
        if (x == 0) return true;
    }
}

bool was_walked(const char* name) {
    for (size_t i = 0; i < walked_count; ++i)
        if (same_name(walked[i].name, name)) return true;
    return false;
}

// API sets are resolved by the loader itself, never found as files.
bool is_api_set(const char* name) {
    return std::strncmp(name, "api-ms-", 7) == 0 || std::strncmp(name, "API-MS-", 7) == 0 ||
           std::strncmp(name, "ext-ms-", 7) == 0 || std::strncmp(name, "EXT-MS-", 7) == 0;
}

// `directory`\`name`, or false when the name is not plain ASCII or too long.
bool beside_path(const u16* directory, const char* name, u16* path) {
    size_t length = u16_length(directory);
    size_t name_length = std::strlen(name);
    if (length + 1 + name_length >= BESIDE_PATH_CAPACITY) return false;
    std::memcpy(path, directory, length * sizeof(u16));
    path[length++] = L'\\';
    for (size_t i = 0; i < name_length; ++i) {
        unsigned char byte = static_cast<unsigned char>(name[i]);
        if (byte >= 0x80) return false;
        path[length++] = byte;
    }
    path[length] = 0;
    return true;
}

bool is_file(const u16* path) {
    DWORD attributes = win32.GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Whether the loader's search would find `name` where the library beside does
// not hold it. The child narrows every search to the run directory (checked
// by the caller) and the system folder: the launcher's folder, the current
// folder and PATH are not in it, so a library that lies only there (a build
// folder, say) is missing for that load and must be named. No data-file load
// stands in for the search: Wine 8 finds a name beside the executable that
// way even with LOAD_LIBRARY_SEARCH_SYSTEM32.
bool system_finds(const char* name) {
    u16 wide[MAX_IMPORT_NAME];
    size_t i = 0;
    for (; name[i] != 0; ++i) wide[i] = static_cast<unsigned char>(name[i]);
    wide[i] = 0;
    u16 folder[SYSTEM_FOLDER_CAPACITY];
    UINT length = win32.GetSystemDirectoryW(folder, SYSTEM_FOLDER_CAPACITY);
    if (length == 0 || length >= SYSTEM_FOLDER_CAPACITY) return false;
    static u16 found[FOUND_PATH_CAPACITY];
    return win32.SearchPathW(folder, wide, nullptr, FOUND_PATH_CAPACITY, found, nullptr) != 0;
}

// The import names of a library mapped without resolving its imports, or
// nullptr; `size` is the mapped image's size, for the bounds of every read.
const IMAGE_IMPORT_DESCRIPTOR* import_table(const uint8_t* base, size_t& size) {
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return nullptr;
    size = nt->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0 || imports.VirtualAddress >= size) return nullptr;
    return reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
}

// Copies the NUL-terminated name at `rva` when it lies inside the image.
bool read_name(const uint8_t* base, size_t size, DWORD rva, char* name) {
    for (size_t i = 0; i < MAX_IMPORT_NAME; ++i) {
        if (rva + i >= size) return false;
        name[i] = static_cast<char>(base[rva + i]);
        if (name[i] == 0) return i > 0;
    }
    return false;
}

// Walks `library` (mapped from `path`) and, depth first, the libraries beside
// it that it imports; true with `missing` and `importer` filled at the first
// import that nothing provides.
bool walk(const u16* path, const char* library, const u16* directory, char* missing, char* importer) {
    HMODULE module = win32.LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) return false;
    auto base = reinterpret_cast<const uint8_t*>(module);
    size_t size = 0;
    const IMAGE_IMPORT_DESCRIPTOR* descriptor = import_table(base, size);
    if (descriptor == nullptr) return false;
    auto within = [&](const void* at) {
        return reinterpret_cast<const uint8_t*>(at) + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= base + size;
    };
    static u16 dependency_path[BESIDE_PATH_CAPACITY];
    for (; within(descriptor) && descriptor->Name != 0; ++descriptor) {
        char name[MAX_IMPORT_NAME];
        if (!read_name(base, size, descriptor->Name, name) || is_api_set(name)) continue;
        if (was_walked(name)) continue;
        if (beside_path(directory, name, dependency_path) && is_file(dependency_path)) {
            if (walked_count == MAX_LIBRARIES_WALKED) continue;
            std::memcpy(walked[walked_count++].name, name, MAX_IMPORT_NAME);
            if (walk(dependency_path, walked[walked_count - 1].name, directory, missing, importer))
                return true;
            continue;
        }
        if (system_finds(name)) continue;
        std::snprintf(missing, MAX_IMPORT_NAME, "%s", name);
        std::snprintf(importer, MAX_IMPORT_NAME, "%s", library);
        return true;
    }
    return false;
}

}  // namespace

bool describe_missing_import(const u16* library_path, const u16* directory, char* sentence,
                             size_t capacity) {
    // The application library's own name, for "imported by".
    const u16* last = library_path;
    for (const u16* unit = library_path; *unit != 0; ++unit)
        if (*unit == L'\\' || *unit == L'/') last = unit + 1;
    char library[MAX_IMPORT_NAME];
    narrow_for_message(last, library, sizeof library);
    walked_count = 1;  // the application library: an import of it back is no news
    std::memcpy(walked[0].name, library, MAX_IMPORT_NAME);
    char missing[MAX_IMPORT_NAME], importer[MAX_IMPORT_NAME];
    if (!walk(library_path, library, directory, missing, importer)) return false;
    std::snprintf(sentence, capacity, FORMAT_MISSING_IMPORT, missing, importer);
    return true;
}
