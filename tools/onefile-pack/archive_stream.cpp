// The archive as a stream: written from the tree in fixed-size chunks and
// walked from a file the same way, so memory never grows with the payload.
#include <cstdio>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "pack.h"
#include "format/archive_format.h"

namespace pack {

namespace {

static_assert(PIECE_SIZE <= (1 << 20), "a decoded piece fits the copy buffer");
constexpr size_t COPY_CHUNK = 1 << 20;

void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string name_record(const std::u16string& name, uint64_t size) {
    std::string record;
    for (char16_t unit : name) {
        record += static_cast<char>(unit & 0xFF);
        record += static_cast<char>(unit >> 8);
    }
    record.append(2, '\0');
    put_u64(record, size);
    return record;
}

}  // namespace

output_file::output_file(const fs::path& path) : path_(path) {
    stream_.open(path, std::ios::binary | std::ios::trunc);
    if (!stream_) throw pack_error("cannot create " + path.string());
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
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream_) throw pack_error("cannot write " + path_.string());
    offset_ += size;
    if (on_progress) on_progress(offset_);
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
    stream_.seekp(static_cast<std::streamoff>(at));
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    stream_.seekp(static_cast<std::streamoff>(offset_));
    if (!stream_) throw pack_error("cannot write " + path_.string());
}

void output_file::patch_summed(uint64_t at, const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) word_sum_ += static_cast<uint64_t>(bytes[i]) << (((at + i) & 1) * 8);
    patch(at, data, size);
}

void output_file::close() {
    stream_.close();
    if (!stream_) throw pack_error("cannot write " + path_.string());
}

uint64_t archive_size(const std::vector<app_entry>& entries) {
    uint64_t size = sizeof ARCHIVE_HEADER;
    for (const app_entry& entry : entries) size += 2 * (entry.name.size() + 1) + 8 + entry.size;
    size += 2;                 // end marker
    size = (size + 7) & ~7ull;  // zero fill
    return size + 8;           // trailer
}

void write_archive(const std::vector<app_entry>& entries, output_file& out, sha256* digest) {
    out.digest = digest;
    const uint64_t start = out.offset();
    std::unique_ptr<char[]> buffer(new char[COPY_CHUNK]);
    out.write(ARCHIVE_HEADER, sizeof ARCHIVE_HEADER);
    for (const app_entry& entry : entries) {
        std::string record = name_record(entry.name, entry.size);
        out.write(record.data(), record.size());
        if (entry.source.empty()) {
            out.write(entry.data.data(), entry.data.size());
            continue;
        }
        std::ifstream in(entry.source, std::ios::binary);
        if (!in) throw pack_error("cannot read " + entry.source.string());
        uint64_t remaining = entry.size;
        while (remaining > 0) {
            size_t part = remaining < COPY_CHUNK ? static_cast<size_t>(remaining) : COPY_CHUNK;
            in.read(buffer.get(), static_cast<std::streamsize>(part));
            if (static_cast<size_t>(in.gcount()) != part)
                throw pack_error(in.bad() ? "cannot read " + entry.source.string()
                                          : "file shrank while packing: " + entry.source.string());
            out.write(buffer.get(), part);
            remaining -= part;
        }
        if (in.peek() != std::char_traits<char>::eof())
            throw pack_error("file grew while packing: " + entry.source.string());
    }
    out.write("\0\0", 2);
    uint64_t trailer_offset = ((out.offset() - start) + 7) & ~7ull;
    out.write_zeros(trailer_offset - (out.offset() - start));
    std::string trailer;
    put_u64(trailer, trailer_offset);
    out.write(trailer.data(), trailer.size());
    out.digest = nullptr;
}

uint64_t walk_archive(std::istream& in, uint64_t size, const archive_visitor& visitor) {
    auto damaged = [](const char* what) { return pack_error(std::string("payload is damaged: ") + what); };
    uint64_t left = size;
    auto take = [&](char* into, size_t count) {
        if (count > left) throw damaged("it ends inside a record");
        in.read(into, static_cast<std::streamsize>(count));
        if (static_cast<size_t>(in.gcount()) != count) throw damaged("the file ends inside a record");
        left -= count;
    };
    auto take_u64 = [&](size_t bytes) {
        unsigned char field[8];
        take(reinterpret_cast<char*>(field), bytes);
        uint64_t value = 0;
        for (size_t i = bytes; i-- > 0;) value = (value << 8) | field[i];
        return value;
    };
    auto skip = [&](uint64_t count) {
        if (count > left) throw damaged("an entry runs past its end");
        in.seekg(static_cast<std::streamoff>(count), std::ios::cur);
        left -= count;
    };
    char header[3];
    take(header, 3);
    const bool compressed = std::memcmp(header, COMPRESSED_ARCHIVE_HEADER, 3) == 0;
    if (!compressed && std::memcmp(header, ARCHIVE_HEADER, 3) != 0) throw damaged("no KAX or KAZ header");
    std::unique_ptr<char[]> buffer(new char[COPY_CHUNK]);
    std::string frame;
    uint64_t data_bytes = 0;
    for (;;) {
        std::u16string name;
        for (;;) {
            unsigned char unit[2];
            take(reinterpret_cast<char*>(unit), 2);
            char16_t value = static_cast<char16_t>(unit[0] | (unit[1] << 8));
            if (value == 0) break;
            if (name.size() == MAX_NAME_UNITS) throw damaged("a name is longer than 1023 units");
            name += value;
        }
        if (name.empty()) return data_bytes;
        uint64_t entry_size = take_u64(8);
        uint64_t packed = compressed ? take_u64(8) : entry_size;
        if (packed > left) throw damaged("an entry runs past its end");
        visitor.on_entry(name, entry_size);
        data_bytes += packed;
        if (!visitor.on_data) {
            skip(packed);
            continue;
        }
        if (!compressed) {
            while (entry_size > 0) {
                size_t part = entry_size < COPY_CHUNK ? static_cast<size_t>(entry_size) : COPY_CHUNK;
                take(buffer.get(), part);
                visitor.on_data(buffer.get(), part);
                entry_size -= part;
            }
            continue;
        }
        const uint64_t data_end = left - packed;
        while (entry_size > 0) {
            uint64_t frame_size = take_u64(PIECE_LENGTH_FIELD);
            if (left < data_end || frame_size > left - data_end) throw damaged("a piece runs past its entry");
            frame.resize(static_cast<size_t>(frame_size));
            take(&frame[0], frame.size());
            uint32_t part = static_cast<uint32_t>(entry_size < PIECE_SIZE ? entry_size : PIECE_SIZE);
            decode_entry_piece(frame, part, buffer.get());
            visitor.on_data(buffer.get(), part);
            entry_size -= part;
        }
        if (left != data_end) throw damaged("an entry's pieces do not fill its data");
    }
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
