// The payload archive written in either form. Entries are read in fixed-size
// parts, so memory never grows with the payload.
#include "format/archive_writer.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "format/archive_format.h"
#include "format/little_endian.h"
#include "format/piece_compressor.h"

namespace {

constexpr size_t COPY_CHUNK = 1 << 20;
constexpr size_t END_MARKER_SIZE = 2;

// An entry's bytes, part after part, from its file or from memory; a file
// must still hold the bytes it held when it was scanned.
class entry_reader {
public:
    explicit entry_reader(const archive_input& entry) : entry_(entry) {
        if (entry.source.empty()) {
            if (entry.data.size() != entry.size)
                throw std::logic_error("an entry in memory is not of its size");
            return;
        }
        in_.open(entry.source, std::ios::binary);
        if (!in_) throw archive_write_error("cannot read " + entry.source.string());
    }

    void read(char* into, size_t size) {
        if (entry_.source.empty()) {
            std::memcpy(into, entry_.data.data() + done_, size);
        } else {
            in_.read(into, static_cast<std::streamsize>(size));
            if (static_cast<size_t>(in_.gcount()) != size)
                throw archive_write_error(in_.bad() ? "cannot read " + entry_.source.string()
                                                    : "file shrank while packing: " + entry_.source.string());
        }
        done_ += size;
    }

    void finish() {
        if (!entry_.source.empty() && in_.peek() != std::char_traits<char>::eof())
            throw archive_write_error("file grew while packing: " + entry_.source.string());
    }

private:
    const archive_input& entry_;
    std::ifstream in_;
    size_t done_ = 0;
};

// A record's name, its terminator and its (decoded) size.
std::string record_start(const std::u16string& name, uint64_t size) {
    std::string record;
    for (char16_t unit : name) put16(record, unit);
    put16(record, 0);
    put64(record, size);
    return record;
}

// The end marker (unless the solid form's blocks follow it, written
// already), the zero fill and the trailer that holds its own offset from the
// archive's `start`.
void finish_archive(archive_sink& out, uint64_t start, bool marker = true) {
    const size_t marker_size = marker ? END_MARKER_SIZE : 0;
    const uint64_t marker_end = out.offset() - start + marker_size;
    const uint64_t trailer_offset = (marker_end + TRAILER_ALIGNMENT - 1) / TRAILER_ALIGNMENT * TRAILER_ALIGNMENT;
    std::string tail(static_cast<size_t>(marker_size + trailer_offset - marker_end), '\0');
    put64(tail, trailer_offset);
    out.write(tail.data(), tail.size());
}

void write_stored(const std::vector<archive_input>& entries, archive_sink& out) {
    const uint64_t start = out.offset();
    out.write(ARCHIVE_HEADER, ARCHIVE_HEADER_SIZE);
    std::unique_ptr<char[]> buffer(new char[COPY_CHUNK]);
    for (const archive_input& entry : entries) {
        std::string record = record_start(entry.name, entry.size);
        out.write(record.data(), record.size());
        entry_reader in(entry);
        for (uint64_t remaining = entry.size; remaining > 0;) {
            size_t part = static_cast<size_t>(std::min<uint64_t>(remaining, COPY_CHUNK));
            in.read(buffer.get(), part);
            out.write(buffer.get(), part);
            remaining -= part;
        }
        in.finish();
    }
    finish_archive(out, start);
}

void write_compressed(const std::vector<archive_input>& entries, const archive_options& options,
                      archive_sink& out) {
    const uint64_t start = out.offset();
    out.write(COMPRESSED_ARCHIVE_HEADER, ARCHIVE_HEADER_SIZE);
    piece_compressor pool(options.level, options.frame_checksums);
    uint64_t read = 0, packed = 0, packed_field = 0;
    auto write = [&](compressed_piece& job) {
        const archive_input& entry = entries[job.entry];
        if (job.first) {
            std::string record = record_start(entry.name, entry.size);
            packed_field = out.offset() + record.size();
            put64(record, 0);  // the pieces' size, once they are written
            out.write(record.data(), record.size());
            packed = 0;
        }
        if (job.input_size > 0) {
            std::string length;
            put_le(length, job.frame_size, PIECE_LENGTH_FIELD);
            out.write(length.data(), length.size());
            out.write(job.frame.data(), job.frame_size);
            packed += length.size() + job.frame_size;
        }
        if (job.last) {
            std::string field;
            put64(field, packed);
            out.patch(packed_field, field.data(), field.size());
        }
    };
    for (size_t index = 0; index < entries.size(); ++index) {
        const archive_input& entry = entries[index];
        entry_reader in(entry);
        uint64_t remaining = entry.size;
        bool first = true;
        do {  // an empty file is one empty piece: its record, no frame
            size_t part = static_cast<size_t>(std::min<uint64_t>(remaining, PIECE_SIZE));
            compressed_piece& job = pool.next_free(write);
            if (job.input.size() < part) job.input.resize(PIECE_SIZE);
            job.entry = index;
            job.input_size = part;
            job.first = first;
            job.last = remaining == part;
            in.read(&job.input[0], part);
            pool.submit();
            remaining -= part;
            first = false;
            read += part;
            if (options.progress) options.progress(read);
        } while (remaining > 0);
        in.finish();
    }
    pool.drain(write);
    if (options.progress) options.progress(read);
    finish_archive(out, start);
}

// The solid form: every record first, then the entries' bytes as one
// stream cut into blocks, each compressed on its own so that the launcher
// decodes them on as many threads.
void write_solid(const std::vector<archive_input>& entries, const archive_options& options, archive_sink& out) {
    const uint64_t start = out.offset();
    out.write(SOLID_ARCHIVE_HEADER, ARCHIVE_HEADER_SIZE);
    for (const archive_input& entry : entries) {
        std::string record = record_start(entry.name, entry.size);
        out.write(record.data(), record.size());
    }
    std::string marker;
    put16(marker, 0);
    put32(marker, static_cast<uint32_t>(options.block_size));
    out.write(marker.data(), marker.size());
    // One block per thread in flight: each holds a block's bytes and its
    // frame, and each thread's context a window of the block's size.
    piece_compressor pool(options.level, options.frame_checksums, SOLID_WINDOW_LOG, 1);
    auto write = [&](compressed_piece& job) {
        std::string length;
        put_le(length, job.frame_size, PIECE_LENGTH_FIELD);
        out.write(length.data(), length.size());
        out.write(job.frame.data(), job.frame_size);
    };
    compressed_piece* block = nullptr;
    uint64_t read = 0;
    auto hand_over = [&] {
        pool.submit();
        block = nullptr;
        if (options.progress) options.progress(read);
    };
    for (const archive_input& entry : entries) {
        entry_reader in(entry);
        for (uint64_t remaining = entry.size; remaining > 0;) {
            if (block == nullptr) {
                block = &pool.next_free(write);
                if (block->input.size() < options.block_size) block->input.resize(options.block_size);
                block->input_size = 0;
            }
            size_t part = static_cast<size_t>(std::min<uint64_t>(remaining, options.block_size - block->input_size));
            in.read(&block->input[block->input_size], part);
            block->input_size += part;
            remaining -= part;
            read += part;
            if (block->input_size == options.block_size) hand_over();
        }
        in.finish();
    }
    if (block != nullptr) hand_over();
    pool.drain(write);
    finish_archive(out, start, false);
}

}  // namespace

uint64_t stored_archive_size(const std::vector<archive_input>& entries) {
    uint64_t size = ARCHIVE_HEADER_SIZE;
    for (const archive_input& entry : entries) size += 2 * (entry.name.size() + 1) + ENTRY_SIZE_FIELD + entry.size;
    size += END_MARKER_SIZE;
    size = (size + TRAILER_ALIGNMENT - 1) / TRAILER_ALIGNMENT * TRAILER_ALIGNMENT;
    return size + TRAILER_SIZE;
}

void write_archive(const std::vector<archive_input>& entries, const archive_options& options, archive_sink& out) {
    if (options.level == 0)
        write_stored(entries, out);
    else if (options.solid)
        write_solid(entries, options, out);
    else
        write_compressed(entries, options, out);
}
