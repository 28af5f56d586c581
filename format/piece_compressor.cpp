// The compressed form's encoder: a ring of pieces, filled in order by the
// writing thread, compressed by the workers, taken back in order.
#include "format/piece_compressor.h"

#include <algorithm>
#include <memory>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include "format/archive_writer.h"

namespace {

struct cctx_deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

}  // namespace

piece_compressor::piece_compressor(int level, bool checksum, int window_log, size_t per_thread)
    : level_(level), checksum_(checksum), window_log_(window_log) {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    jobs_.resize(threads * std::max<size_t>(1, per_thread));
    for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
}

piece_compressor::~piece_compressor() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

compressed_piece& piece_compressor::next_free(const std::function<void(compressed_piece&)>& write) {
    if (count_ == jobs_.size()) take_oldest(write);
    compressed_piece& job = jobs_[(head_ + count_) % jobs_.size()];
    job.done = false;
    return job;
}

void piece_compressor::submit() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++count_;
    }
    queued_.notify_one();
}

void piece_compressor::drain(const std::function<void(compressed_piece&)>& write) {
    while (count_ > 0) take_oldest(write);
}

void piece_compressor::take_oldest(const std::function<void(compressed_piece&)>& write) {
    compressed_piece& job = jobs_[head_];
    {
        std::unique_lock<std::mutex> hold(lock_);
        finished_.wait(hold, [&] { return job.done; });
        if (!failure_.empty()) throw archive_write_error("cannot compress: " + failure_);
    }
    write(job);
    std::lock_guard<std::mutex> hold(lock_);
    head_ = (head_ + 1) % jobs_.size();
    --count_;
    --next_;  // indices count from head_
}

void piece_compressor::work() {
    std::unique_ptr<ZSTD_CCtx, cctx_deleter> context(ZSTD_createCCtx());
    if (context) {
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level_);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, checksum_ ? 1 : 0);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
        if (window_log_ != 0) ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, window_log_);
    }
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        queued_.wait(hold, [&] { return stopping_ || next_ < count_; });
        if (stopping_) return;
        compressed_piece& job = jobs_[(head_ + next_++) % jobs_.size()];
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
