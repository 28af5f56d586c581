// The packer's output: a file with a running PE checksum, the sink the
// archive's writer writes to, put in place only once it is complete; and
// the progress bar.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <memory>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "output.h"

namespace pack {

output_file::output_file(const fs::path& path, const fs::path& shown) : path_(shown.empty() ? path : shown) {
    errno = 0;
    stream_.open(path, std::ios::binary | std::ios::trunc);
    if (stream_) return;
    int error = errno;
    std::error_code ignored;
    fs::path folder = path.parent_path();
    std::string why = !folder.empty() && !fs::is_directory(folder, ignored) ? "no folder " + folder.string()
                    : error != 0                                           ? std::generic_category().message(error)
                                                                           : "cannot create " + path.string();
    throw pack_error("cannot write " + path_.string() + ": " + why);
}

void output_file::write(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    // The PE checksum adds 16-bit words at even file offsets; the sum does
    // not depend on the order, so it is kept as the bytes go by.
    size_t i = 0;
    uint64_t sum = 0;
    if ((offset_ & 1) != 0 && size > 0) sum += static_cast<uint64_t>(bytes[i++]) << 8;
    for (; i + 1 < size; i += 2) sum += bytes[i] | (static_cast<uint64_t>(bytes[i + 1]) << 8);
    if (i < size) sum += bytes[i];
    word_sum_ += sum;
    if (digest != nullptr) digest->update(data, size);
    errno = 0;
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream_) throw write_failed();
    offset_ += size;
    if (on_progress) on_progress(offset_);
}

pack_error output_file::write_failed() const {
    int error = errno;  // the stream's last system call, where there was one
    return pack_error("cannot write " + path_.string() + (error != 0 ? ": " + std::generic_category().message(error) : ""));
}

void output_file::write_zeros(uint64_t count) {
    static const char zeros[4096] = {};
    while (count > 0) {
        size_t part = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
        write(zeros, part);
        count -= part;
    }
}

void output_file::patch(uint64_t at, const void* data, size_t size) {
    errno = 0;
    stream_.seekp(static_cast<std::streamoff>(at));
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    stream_.seekp(static_cast<std::streamoff>(offset_));
    if (!stream_) throw write_failed();
}

void output_file::patch_summed(uint64_t at, const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) word_sum_ += static_cast<uint64_t>(bytes[i]) << (((at + i) & 1) * 8);
    patch(at, data, size);
}

void output_file::close() {
    errno = 0;
    stream_.close();
    if (!stream_) throw write_failed();
}

fs::path temporary_beside(const fs::path& output) {
    fs::path temporary = output;
    temporary += ".partial";
    return temporary;
}

void finish_output(output_file& out, const fs::path& temporary, const fs::path& output, bool executable) {
    out.close();
    std::error_code error;
#ifdef _WIN32
    (void)executable;
#else
    // Executable for whoever may read it, as a linker leaves its output.
    fs::perms perms = fs::status(temporary, error).permissions();
    for (auto [read, exec] : {std::pair{fs::perms::owner_read, fs::perms::owner_exec},
                              {fs::perms::group_read, fs::perms::group_exec}, {fs::perms::others_read, fs::perms::others_exec}})
        if ((perms & read) != fs::perms::none) perms |= exec;
    if (!error && executable) fs::permissions(temporary, perms, error);
#endif
    put_in_place(temporary, output, true);
}

void put_in_place(const fs::path& temporary, const fs::path& target, bool replace) {
    // One step: the old file stays whole until the new one takes its name.
#ifdef _WIN32
    bool moved = MoveFileExW(temporary.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0);
    std::error_code error(moved ? 0 : static_cast<int>(GetLastError()), std::system_category());
#else
    // Without `replace`, a link fails where a file appeared meanwhile.
    int result = replace ? ::rename(temporary.c_str(), target.c_str()) : ::link(temporary.c_str(), target.c_str());
    std::error_code error(result == 0 ? 0 : errno, std::generic_category());
    if (result == 0 && !replace) ::unlink(temporary.c_str());
#endif
    if (error) throw pack_error("cannot rename " + temporary.string() + " to " + target.string() + ": " + error.message());
}

std::function<void(uint64_t)> progress_bar(const char* what, uint64_t total, bool enabled) {
    if (!enabled || total == 0 || !isatty(2)) return nullptr;
    auto last_shown = std::make_shared<int>(-1);
    std::string label = what;
    return [label, total, last_shown](uint64_t done) {
        int percent = static_cast<int>(done * 100 / total);
        if (percent > 100) percent = 100;
        if (percent == *last_shown) return;
        *last_shown = percent;
        constexpr int WIDTH = 40;
        int filled = percent * WIDTH / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%% %llu/%llu MiB", label.c_str(),
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(WIDTH - filled), '-').c_str(), percent,
                     static_cast<unsigned long long>(done >> 20), static_cast<unsigned long long>(total >> 20));
        if (percent == 100) std::fputc('\n', stderr);
        std::fflush(stderr);
    };
}

}  // namespace pack
