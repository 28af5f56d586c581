// The payload's compressed form: the tree written as entries of zstd frames,
// one per piece of PIECE_SIZE bytes, compressed on as many threads as the
// machine has; and the decoding of an entry again, as strictly as the
// launcher decodes it.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <memory>
#include <thread>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "pack.h"
#include "payload/archive_format.h"
#include "payload/piece_decoder.h"

namespace pack {

namespace {

// Pieces read, compressed in parallel and written together; bounds memory
// to a few times this many pieces.
constexpr size_t PIECES_PER_ROUND = 64;

struct piece_job {
    size_t entry;        // index into the entries
    std::string input;   // its decoded bytes
    std::string frame;   // the compressed frame
    bool first, last;    // of its entry
};

void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

struct cctx_deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void compress_round(std::vector<piece_job>& jobs, int level) {
    unsigned threads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(),
                                                       static_cast<unsigned>(jobs.size())));
    std::atomic<size_t> next{0};
    std::string failure;
    std::mutex failure_lock;
    auto work = [&] {
        std::unique_ptr<ZSTD_CCtx, cctx_deleter> context(ZSTD_createCCtx());
        if (!context) {
            std::lock_guard<std::mutex> hold(failure_lock);
            failure = "out of memory";
            return;
        }
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
        for (size_t i; (i = next++) < jobs.size();) {
            piece_job& job = jobs[i];
            if (job.input.empty()) continue;
            job.frame.resize(ZSTD_compressBound(job.input.size()));
            size_t size = ZSTD_compress2(context.get(), &job.frame[0], job.frame.size(), job.input.data(),
                                         job.input.size());
            if (ZSTD_isError(size)) {
                std::lock_guard<std::mutex> hold(failure_lock);
                failure = ZSTD_getErrorName(size);
                return;
            }
            job.frame.resize(size);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (std::thread& thread : pool) thread.join();
    if (!failure.empty()) throw pack_error("cannot compress: " + failure);
}

}  // namespace

int checked_compression_level(const std::string& text) {
    size_t used = 0;
    int level = 0;
    try {
        level = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || level < MIN_COMPRESSION_LEVEL || level > MAX_COMPRESSION_LEVEL)
        throw option_error("--compress", "level '" + text + "' is not a number from " +
                                             std::to_string(MIN_COMPRESSION_LEVEL) + " to " +
                                             std::to_string(MAX_COMPRESSION_LEVEL));
    return level;
}

void write_compressed_archive(const std::vector<app_entry>& entries, int level, output_file& out,
                              const std::function<void(uint64_t)>& progress) {
    const uint64_t start = out.offset();
    out.write(COMPRESSED_ARCHIVE_HEADER, ARCHIVE_HEADER_SIZE);
    std::vector<piece_job> jobs;
    uint64_t read = 0, packed = 0, packed_field = 0;
    auto flush = [&] {
        compress_round(jobs, level);
        for (piece_job& job : jobs) {
            const app_entry& entry = entries[job.entry];
            if (job.first) {
                std::string record;
                for (char16_t unit : entry.name) put_le(record, unit, 2);
                put_le(record, 0, 2);
                put_le(record, entry.size, 8);
                packed_field = out.offset() + record.size();
                put_le(record, 0, 8);  // the pieces' size, once they are written
                out.write(record.data(), record.size());
                packed = 0;
            }
            if (!job.input.empty()) {
                std::string length;
                put_le(length, job.frame.size(), PIECE_LENGTH_FIELD);
                out.write(length.data(), length.size());
                out.write(job.frame.data(), job.frame.size());
                packed += length.size() + job.frame.size();
            }
            if (job.last) {
                std::string field;
                put_le(field, packed, 8);
                out.patch(packed_field, field.data(), field.size());
            }
        }
        jobs.clear();
    };
    for (size_t index = 0; index < entries.size(); ++index) {
        const app_entry& entry = entries[index];
        std::ifstream in(entry.source, std::ios::binary);
        if (!in) throw pack_error("cannot read " + entry.source.string());
        uint64_t remaining = entry.size;
        bool first = true;
        do {
            size_t part = static_cast<size_t>(std::min<uint64_t>(remaining, PIECE_SIZE));
            piece_job job{index, std::string(part, '\0'), {}, first, remaining == part};
            in.read(&job.input[0], static_cast<std::streamsize>(part));
            if (static_cast<size_t>(in.gcount()) != part)
                throw pack_error(in.bad() ? "cannot read " + entry.source.string()
                                          : "file shrank while packing: " + entry.source.string());
            remaining -= part;
            first = false;
            read += part;
            jobs.push_back(std::move(job));
            if (jobs.size() == PIECES_PER_ROUND) {
                flush();
                if (progress) progress(read);
            }
        } while (remaining > 0);
        if (in.peek() != std::char_traits<char>::eof())
            throw pack_error("file grew while packing: " + entry.source.string());
    }
    flush();
    if (progress) progress(read);
    out.write("\0\0", 2);
    uint64_t trailer_offset = ((out.offset() - start) + 7) & ~7ull;
    out.write_zeros(trailer_offset - (out.offset() - start));
    std::string trailer;
    put_le(trailer, trailer_offset, 8);
    out.write(trailer.data(), trailer.size());
}

std::string describe_compression(uint64_t packed, uint64_t size) {
    char ratio[32] = "-";
    if (size != 0) std::snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(packed) / static_cast<double>(size));
    return "compressed to " + std::to_string(packed) + " bytes (" + ratio + " of it)";
}

void decode_entry_piece(const std::string& frame, uint32_t decoded_size, char* into) {
    static thread_local std::unique_ptr<piece_context, size_t (*)(ZSTD_DCtx*)> context(new_piece_context(),
                                                                                       ZSTD_freeDCtx);
    payload_piece piece{reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint32_t>(frame.size()),
                        decoded_size};
    if (!context || !decode_piece(context.get(), piece, reinterpret_cast<uint8_t*>(into)))
        throw pack_error("payload is damaged: a piece does not decode to its entry's bytes");
}

}  // namespace pack
