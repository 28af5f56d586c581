// The compressed form's encoder: pieces of an archive's entries compressed
// into zstd frames on as many threads as the machine has, handed back in
// the order they were handed over, so that reading, compressing and
// writing overlap. Part of the archive writer (archive_writer.cpp), which
// alone places the frames; the standard library's threads and zstd only.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct compressed_piece {
    size_t entry = 0;       // index into the writer's entries
    std::string input;      // its decoded bytes (capacity kept between uses)
    size_t input_size = 0;
    std::string frame;      // the compressed frame
    size_t frame_size = 0;
    bool first = false, last = false;  // of its entry
    bool done = false;
};

class piece_compressor {
public:
    // Frames of zstd level `level`, stating their size; with a content
    // checksum unless `checksum` is false; with a window of 2^window_log
    // bytes when that is not 0. `per_thread` pieces in flight per thread
    // bound the memory: twice that many pieces' bytes.
    piece_compressor(int level, bool checksum, int window_log = 0, size_t per_thread = 4);
    ~piece_compressor();
    piece_compressor(const piece_compressor&) = delete;
    piece_compressor& operator=(const piece_compressor&) = delete;

    // The next free piece to fill, after `write` has taken the oldest when
    // every piece is busy; submit() hands it to the workers.
    compressed_piece& next_free(const std::function<void(compressed_piece&)>& write);
    void submit();
    // Hands every piece still busy to `write`, oldest first.
    void drain(const std::function<void(compressed_piece&)>& write);

private:
    void take_oldest(const std::function<void(compressed_piece&)>& write);
    void work();

    int level_;
    bool checksum_;
    int window_log_;
    std::vector<compressed_piece> jobs_;
    size_t head_ = 0, count_ = 0;  // the oldest job; jobs handed over
    size_t next_ = 0;              // jobs after head_ that a worker has taken
    bool stopping_ = false;
    std::string failure_;
    std::mutex lock_;
    std::condition_variable queued_, finished_;
    std::vector<std::thread> workers_;
};
