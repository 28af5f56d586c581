// The one writer of the payload archive (archive_format.h), in either form:
// the header, the records, the end marker, the zero fill and the trailer are
// written here and nowhere else. Entries come from files or from memory;
// the compressed form encodes their pieces on a pool of threads. Writes to
// an abstract sink (the packer's output file, a string in tests).
// Platform-free: the standard library and zstd.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/archive_format.h"

// One file of the archive: read from `source` when that is given (and held
// to the `size` it had when it was scanned), else the bytes of `data`.
struct archive_input {
    std::u16string name;  // "\"-separated, as the launcher creates it
    std::filesystem::path source;
    uint64_t size = 0;
    std::string data = {};
};

// Where the archive goes, byte after byte.
class archive_sink {
public:
    virtual void write(const void* data, size_t size) = 0;
    // Rewrites bytes written earlier as zeros: the compressed form's packed
    // size of an entry, known once its pieces are written.
    virtual void patch(uint64_t at, const void* data, size_t size) = 0;
    // Bytes written so far.
    virtual uint64_t offset() const = 0;

protected:
    ~archive_sink() = default;
};

// An archive in memory.
class string_sink final : public archive_sink {
public:
    std::string bytes;
    void write(const void* data, size_t size) override { bytes.append(static_cast<const char*>(data), size); }
    void patch(uint64_t at, const void* data, size_t size) override {
        bytes.replace(static_cast<size_t>(at), size, static_cast<const char*>(data), size);
    }
    uint64_t offset() const override { return bytes.size(); }
};

// A file that cannot be read or changed its size since it was scanned, or a
// piece that cannot be compressed: one line.
struct archive_write_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct archive_options {
    // 0 stores the entries; 1 to 19 compresses them at that zstd level.
    int level = 0;
    // Compressed form: the bytes of the entries read so far.
    std::function<void(uint64_t)> progress = nullptr;
    // The solid form (archive_format.h): the entries' bytes in blocks of
    // `block_size` that span files, compressed at `level`.
    bool solid = false;
    size_t block_size = SOLID_BLOCK_SIZE;
    // Every frame carries a content checksum, which the launcher requires;
    // cleared only to make payloads that it must refuse.
    bool frame_checksums = true;
};

// The stored form's size, known before a byte is written.
uint64_t stored_archive_size(const std::vector<archive_input>& entries);

// Writes the archive of `entries`, in their order, from the sink's current
// offset on; the trailer's offset counts from there.
void write_archive(const std::vector<archive_input>& entries, const archive_options& options, archive_sink& out);
