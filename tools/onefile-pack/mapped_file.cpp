// The read-only mapping of a file. System calls only; errors are captured
// right after the call that failed.
#include "mapped_file.h"

#include <system_error>

#include "errors.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pack {

namespace {

pack_error cannot_map(const std::filesystem::path& path, int error) {
    return pack_error("cannot read " + path.string() + ": " + std::system_category().message(error));
}

}  // namespace

#ifdef _WIN32
mapped_file::mapped_file(const std::filesystem::path& path) {
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        throw cannot_map(path, static_cast<int>(error));
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        throw cannot_map(path, static_cast<int>(error));
    }
    size_ = static_cast<uint64_t>(size.QuadPart);
    // A mapping of an empty file is refused; there is nothing to read.
    HANDLE mapping = size_ == 0 ? nullptr : CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    DWORD error = GetLastError();
    CloseHandle(file);  // the mapping holds the file
    if (size_ == 0) return;
    if (mapping == nullptr) throw cannot_map(path, static_cast<int>(error));
    data_ = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    error = GetLastError();
    CloseHandle(mapping);  // the view holds the mapping
    if (data_ == nullptr) throw cannot_map(path, static_cast<int>(error));
}

mapped_file::~mapped_file() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
}
#else
mapped_file::mapped_file(const std::filesystem::path& path) {
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) throw cannot_map(path, errno);
    struct stat status = {};
    int error = fstat(file, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : S_ISDIR(status.st_mode) ? EISDIR : ENODEV;
    if (error != 0) {
        close(file);
        throw cannot_map(path, error);
    }
    size_ = static_cast<uint64_t>(status.st_size);
    void* view = size_ == 0 ? nullptr : mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_PRIVATE, file, 0);
    error = errno;
    close(file);  // the mapping holds the file
    if (view == MAP_FAILED) throw cannot_map(path, error);
    data_ = static_cast<const uint8_t*>(view);
}

mapped_file::~mapped_file() {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
}
#endif

}  // namespace pack
