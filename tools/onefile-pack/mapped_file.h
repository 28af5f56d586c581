// A file mapped read-only into memory, so that list, extract and info read
// a payload in place with the launcher's own reader (format/), as the
// launcher reads its mapped image. mmap on Linux, a file mapping on Windows.
#pragma once
#include <cstdint>
#include <filesystem>

namespace pack {

class mapped_file {
public:
    // pack_error "cannot read PATH: why" when the file cannot be mapped.
    explicit mapped_file(const std::filesystem::path& path);
    ~mapped_file();
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;

    const uint8_t* data() const { return data_; }  // nullptr for an empty file
    uint64_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace pack
