// The payload's compressed form: the tree written as entries of zstd frames,
// one per piece of PIECE_SIZE bytes, compressed on as many threads as the
// machine has; and the decoding of an entry again, as strictly as the
// launcher decodes it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <memory>
#include <thread>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include "pack.h"
#include "format/archive_format.h"

namespace pack {

namespace {

// Pieces in flight: read by the writing thread, compressed by the workers,
// written back in order; bounds memory to twice this many pieces.
constexpr size_t PIECES_PER_THREAD = 4;

struct piece_job {
    size_t entry;        // index into the entries
    std::string input;   // its decoded bytes (capacity kept between uses)
    size_t input_size = 0;
    std::string frame;   // the compressed frame
    size_t frame_size = 0;
    bool first = false, last = false;  // of its entry
    bool done = false;
};

void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

struct cctx_deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// Workers that compress pieces as the writing thread hands them over: a
// ring of jobs, filled in order and taken back in order, so reading,
// compressing and writing overlap.
class compressor_pool {
public:
    compressor_pool(int level) : level_(level) {
        unsigned threads = std::max(1u, std::thread::hardware_concurrency());
        jobs_.resize(threads * PIECES_PER_THREAD);
        for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
    }
    ~compressor_pool() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        queued_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }
    // The next free job, after `write` has taken the oldest when all are busy.
    piece_job& next_free(const std::function<void(piece_job&)>& write) {
        if (count_ == jobs_.size()) take_oldest(write);
        piece_job& job = jobs_[(head_ + count_) % jobs_.size()];
        job.done = false;
        return job;
    }
    void submit() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++count_;
        }
        queued_.notify_one();
    }
    void drain(const std::function<void(piece_job&)>& write) {
        while (count_ > 0) take_oldest(write);
    }

private:
    void take_oldest(const std::function<void(piece_job&)>& write) {
        piece_job& job = jobs_[head_];
        {
            std::unique_lock<std::mutex> hold(lock_);
            finished_.wait(hold, [&] { return job.done; });
            if (!failure_.empty()) throw pack_error("cannot compress: " + failure_);
        }
        write(job);
        std::lock_guard<std::mutex> hold(lock_);
        head_ = (head_ + 1) % jobs_.size();
        --count_;
        --next_;  // indices count from head_
    }
    void work() {
        std::unique_ptr<ZSTD_CCtx, cctx_deleter> context(ZSTD_createCCtx());
        if (context) {
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level_);
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
        }
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            queued_.wait(hold, [&] { return stopping_ || next_ < count_; });
            if (stopping_) return;
            piece_job& job = jobs_[(head_ + next_++) % jobs_.size()];
            hold.unlock();
            size_t size = 0;
            if (!context) {
                size = static_cast<size_t>(-static_cast<ptrdiff_t>(ZSTD_error_memory_allocation));
            } else if (job.input_size > 0) {
                size_t bound = ZSTD_compressBound(job.input_size);
                if (job.frame.size() < bound) job.frame.resize(bound);
                size = ZSTD_compress2(context.get(), &job.frame[0], bound, job.input.data(), job.input_size);
            }
            hold.lock();
            if (ZSTD_isError(size)) failure_ = ZSTD_getErrorName(size);
            job.frame_size = ZSTD_isError(size) ? 0 : size;
            job.done = true;
            finished_.notify_all();
        }
    }

    int level_;
    std::vector<piece_job> jobs_;
    size_t head_ = 0, count_ = 0;  // the oldest job; jobs handed over
    size_t next_ = 0;              // jobs after head_ that a worker has taken
    bool stopping_ = false;
    std::string failure_;
    std::mutex lock_;
    std::condition_variable queued_, finished_;
    std::vector<std::thread> workers_;
};

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
    compressor_pool pool(level);
    uint64_t read = 0, packed = 0, packed_field = 0;
    auto write = [&](piece_job& job) {
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
        if (job.input_size > 0) {
            std::string length;
            put_le(length, job.frame_size, PIECE_LENGTH_FIELD);
            out.write(length.data(), length.size());
            out.write(job.frame.data(), job.frame_size);
            packed += length.size() + job.frame_size;
        }
        if (job.last) {
            std::string field;
            put_le(field, packed, 8);
            out.patch(packed_field, field.data(), field.size());
        }
    };
    for (size_t index = 0; index < entries.size(); ++index) {
        const app_entry& entry = entries[index];
        std::ifstream in(entry.source, std::ios::binary);
        if (!in) throw pack_error("cannot read " + entry.source.string());
        uint64_t remaining = entry.size;
        bool first = true;
        do {
            size_t part = static_cast<size_t>(std::min<uint64_t>(remaining, PIECE_SIZE));
            piece_job& job = pool.next_free(write);
            if (job.input.size() < part) job.input.resize(PIECE_SIZE);
            job.entry = index;
            job.input_size = part;
            job.first = first;
            job.last = remaining == part;
            in.read(&job.input[0], static_cast<std::streamsize>(part));
            if (static_cast<size_t>(in.gcount()) != part)
                throw pack_error(in.bad() ? "cannot read " + entry.source.string()
                                          : "file shrank while packing: " + entry.source.string());
            pool.submit();
            remaining -= part;
            first = false;
            read += part;
            if (progress) progress(read);
        } while (remaining > 0);
        if (in.peek() != std::char_traits<char>::eof())
            throw pack_error("file grew while packing: " + entry.source.string());
    }
    pool.drain(write);
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

}  // namespace pack
