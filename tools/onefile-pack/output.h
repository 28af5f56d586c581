// Where the packer's bytes go (output.cpp, digest.cpp): a file with a
// running PE checksum and the payload's SHA-256, written beside its final
// name and renamed over it only once it is complete; and the progress bar.
#pragma once
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>

#include "errors.h"
#include "format/archive_writer.h"

namespace pack {

// SHA-256 (digest.cpp): the payload's identity for a cache.
class sha256 {
public:
    sha256();
    ~sha256();
    void update(const void* data, size_t size);
    std::array<uint8_t, 32> finish();  // once

private:
    struct worker;  // hashes on a thread of its own
    std::unique_ptr<worker> worker_;
};

// Where bytes go: a file with a running PE checksum and progress.
class output_file final : public archive_sink {
public:
    // Messages name `shown` (default `path`): the file the user asked for,
    // not the temporary name it is written under.
    explicit output_file(const fs::path& path, const fs::path& shown = {});
    void write(const void* data, size_t size) override;
    void write_zeros(uint64_t count);
    uint64_t offset() const override { return offset_; }
    // Sum of the little-endian 16-bit words written so far, before folding.
    uint64_t word_sum() const { return word_sum_; }
    void patch(uint64_t at, const void* data, size_t size) override;  // bytes already summed as zero
    // The same, adding the new bytes to the checksum's sum.
    void patch_summed(uint64_t at, const void* data, size_t size);
    // Receives every byte written, when set.
    sha256* digest = nullptr;
    void close();
    std::function<void(uint64_t)> on_progress;

private:
    pack_error write_failed() const;
    std::ofstream stream_;
    fs::path path_;  // as messages name it
    uint64_t offset_ = 0;
    uint64_t word_sum_ = 0;
};

// A name beside the output, renamed over it only once it is complete.
fs::path temporary_beside(const fs::path& output);
// Closes `out` (written to `temporary`) and renames it to `output`; made
// executable on Linux when `executable`.
void finish_output(output_file& out, const fs::path& temporary, const fs::path& output, bool executable);
// Renames `temporary` to `target` in one step, over an existing file only
// when `replace`.
void put_in_place(const fs::path& temporary, const fs::path& target, bool replace);

// Runs `body` on a new output file beside `output`, which takes its place
// once `body` is done; on any failure the partial file goes and `output`
// stays as it was.
template <typename Body>
void writing_to(const fs::path& output, Body body, bool executable = true) {
    fs::path temporary = temporary_beside(output);
    try {
        output_file out(temporary, output);
        body(out);
        finish_output(out, temporary, output, executable);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

// A progress bar on standard error, drawn only when it is a terminal.
std::function<void(uint64_t)> progress_bar(const char* what, uint64_t total, bool enabled);

}  // namespace pack
