// The extraction writer's Win32 edge: directory creation for the cache and the
// writing of one entry into its file. Win32 calls only, through `win32`.
#include "payload/extraction.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "diagnostics/failure.h"
#include "payload/piece_decoder.h"
#include "platform/path_template.h"
#include "platform/win32_api.h"

namespace {

// Below the run directory: its own access list, given explicitly because
// Wine 8 does not pass an inheritable access list on to what is made below.
SECURITY_ATTRIBUTES* extraction_security = nullptr;

// A cache's staging: a failure to write is this start's to recover from,
// not the end. Its files reach the disk later, all at once, while the
// application runs (launcher/cache_record.cpp).
std::atomic<bool> recoverable_failures{false};
std::atomic<bool> extraction_failure{false};

void close_file(HANDLE file) { (void)win32.CloseHandle(file); }

uint32_t create_directory_system(const u16* path) {
    if (win32.CreateDirectoryW(path, extraction_security)) return 0;
    DWORD error = GetLastError();
    return error == 0 ? ERROR_GEN_FAILURE : error;
}

bool expand_home_system(u16* out, size_t capacity) {
    return expand_path_template(out, HOME_TEMPLATE, capacity);
}

[[noreturn]] void home_failed_system() { fail_expand_template(HOME_TEMPLATE); }

const directory_operations system_operations = {
    create_directory_system, expand_home_system, home_failed_system, nullptr};

// The closing threads: a ring of handles, bounded so that extraction waits
// when closing falls far behind. The threads live until the process ends.
constexpr size_t CLOSE_QUEUE_CAPACITY = 256;
constexpr SIZE_T CLOSING_THREAD_STACK = 64 * 1024;

struct closing_pool {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE queued = CONDITION_VARIABLE_INIT;  // a handle waits
    CONDITION_VARIABLE closed = CONDITION_VARIABLE_INIT;  // one was closed
    HANDLE queue[CLOSE_QUEUE_CAPACITY];
    size_t head = 0, count = 0;
    size_t pending = 0;  // queued or being closed
    int started = 0;
    int wanted = EXTRACTION_CLOSE_THREADS;
};
closing_pool pool;

DWORD WINAPI closing_thread(void*) {
    AcquireSRWLockExclusive(&pool.lock);
    for (;;) {
        while (pool.count == 0) SleepConditionVariableSRW(&pool.queued, &pool.lock, INFINITE, 0);
        HANDLE file = pool.queue[pool.head];
        pool.head = (pool.head + 1) % CLOSE_QUEUE_CAPACITY;
        --pool.count;
        ReleaseSRWLockExclusive(&pool.lock);
        close_file(file);
        AcquireSRWLockExclusive(&pool.lock);
        --pool.pending;
        WakeAllConditionVariable(&pool.closed);
    }
}

// Hands `file` to the closing threads, starting one more while fewer than
// wanted run; closes it here when there are none.
void close_written_file(HANDLE file) {
    AcquireSRWLockExclusive(&pool.lock);
    if (pool.started < pool.wanted) {
        HANDLE thread = win32.CreateThread(nullptr, CLOSING_THREAD_STACK, closing_thread, nullptr,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread != nullptr) {
            ++pool.started;
            (void)win32.CloseHandle(thread);
        } else {
            pool.wanted = pool.started;  // no more tries
        }
    }
    if (pool.started == 0) {
        ReleaseSRWLockExclusive(&pool.lock);
        close_file(file);
        return;
    }
    while (pool.count == CLOSE_QUEUE_CAPACITY) SleepConditionVariableSRW(&pool.closed, &pool.lock, INFINITE, 0);
    pool.queue[(pool.head + pool.count) % CLOSE_QUEUE_CAPACITY] = file;
    ++pool.count;
    ++pool.pending;
    WakeConditionVariable(&pool.queued);
    ReleaseSRWLockExclusive(&pool.lock);
}

}  // namespace

const directory_operations& system_directory_operations() { return system_operations; }

void set_extraction_close_threads(int count) {
    AcquireSRWLockExclusive(&pool.lock);
    pool.wanted = count;
    ReleaseSRWLockExclusive(&pool.lock);
}

void finish_extraction_closes() {
    AcquireSRWLockExclusive(&pool.lock);
    while (pool.pending > 0) SleepConditionVariableSRW(&pool.closed, &pool.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&pool.lock);
}

void set_cache_staging_extraction(bool on) {
    recoverable_failures.store(on);
    extraction_failure.store(false);
}

bool extraction_failed() { return extraction_failure.load(); }

void set_extraction_security(void* attributes) {
    extraction_security = static_cast<SECURITY_ATTRIBUTES*>(attributes);
}

namespace {

[[noreturn]] void fail_at(const u16* entry_name);

// The entry's file, made (with the folders above it) for writing. A failure
// ends the process with its message, or, in a cache's staging, is recorded
// and INVALID_HANDLE_VALUE returned. The compressed form (`entry_name`
// given) makes the file new: every run directory is made fresh, so a file
// already there is an earlier entry of the same name, whose pieces the
// workers may still be writing, and the payload is damaged. The stored form
// replaces it, the earlier entry written whole before.
HANDLE create_target_file(directory_cache& cache, const u16* target_path, const u16* entry_name = nullptr) {
    // A directory that could not be made shows up as the failure to create
    // the file just below.
    (void)ensure_parent_directories(cache, system_directory_operations(), target_path);
    // FILE_SHARE_WRITE alone: others may write while we do, but not read a
    // half-written file or delete it.
    HANDLE file = win32.CreateFileW(target_path, GENERIC_WRITE, FILE_SHARE_WRITE, extraction_security,
                                    entry_name != nullptr ? CREATE_NEW : CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (entry_name != nullptr && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
            fail_at(entry_name);
        if (!recoverable_failures.load()) fail_open_target(target_path);
        extraction_failure.store(true);
    }
    return file;
}

}  // namespace

bool write_payload_entry(payload_archive& archive, uint64_t size, const u16* target_path,
                         directory_cache& cache, uint8_t* write_buffer,
                         extraction_progress* progress) {
    HANDLE file = create_target_file(cache, target_path);
    if (file == INVALID_HANDLE_VALUE) return false;

    uint64_t remaining = size;
    while (remaining > 0) {
        DWORD chunk = remaining < WRITE_CHUNK_SIZE ? static_cast<DWORD>(remaining)
                                                   : static_cast<DWORD>(WRITE_CHUNK_SIZE);
        // read_entry_size has checked the size against the archive's end;
        // a caller that skipped it must not make us read past it.
        if (static_cast<size_t>(archive.end - archive.cursor) < chunk)
            fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
        std::memcpy(write_buffer, archive.cursor, chunk);
        archive.cursor += chunk;
        DWORD written = 0;
        if (!win32.WriteFile(file, write_buffer, chunk, &written, nullptr)) {
            if (!recoverable_failures.load()) fail_unpack_write();
            extraction_failure.store(true);
            break;
        }
        remaining -= chunk;
        if (progress != nullptr) {
            progress->archive_bytes_done.store(static_cast<uint64_t>(archive.cursor - archive.base),
                                               std::memory_order_relaxed);
            if (progress->stop_requested.load(std::memory_order_relaxed)) break;
        }
    }
    close_written_file(file);
    return remaining == 0;
}

namespace {

// The compressed form's writer: the pieces go to the workers (or, without
// them, are decoded here) and come back in archive order, where their
// failures are reported and their files closed.
struct compressed_writer {
    bool workers = false;
    piece_context* context = nullptr;  // for pieces decoded on this thread
    uint8_t* buffer = nullptr;
    uint64_t decoded_done = 0;  // the bar's position
    extraction_progress* progress = nullptr;
};
compressed_writer writer;

// A finished piece, taken in archive order: the first damage or failed write
// is reported as the sequential writer would have met it.
void settle(const retired_piece& done) {
    if (done.outcome == piece_outcome::damaged) fail_damaged_entry(done.entry_name);
    if (done.outcome == piece_outcome::write_failed) {
        if (!recoverable_failures.load()) fail_unpack_write();
        extraction_failure.store(true);
    }
    if (done.job.last) close_written_file(static_cast<HANDLE>(done.job.file));
    writer.decoded_done += done.job.piece.decoded_size;
    if (writer.progress != nullptr)
        writer.progress->archive_bytes_done.store(writer.decoded_done, std::memory_order_relaxed);
}

void settle_all() {
    retired_piece done;
    while (retire_oldest_piece(done)) settle(done);
}

// Damage met by the writer itself: pieces before it are settled first, so
// an earlier entry's damage is the one named.
void fail_at(const u16* entry_name) {
    settle_all();
    fail_damaged_entry(entry_name);
}

piece_outcome decode_here(const queued_piece& job) {
    if (writer.context == nullptr) writer.context = new_piece_context();
    if (writer.buffer == nullptr) writer.buffer = static_cast<uint8_t*>(std::malloc(PIECE_SIZE));
    // Without memory to decode, the piece cannot be unpacked.
    if (writer.context == nullptr || writer.buffer == nullptr) return piece_outcome::damaged;
    return decode_and_write(writer.context, job, writer.buffer);
}

}  // namespace

void start_compressed_extraction(const payload_archive& archive) {
    writer.workers = start_piece_workers(payload_progress_total(archive, PIECE_THREADS_THRESHOLD));
    writer.decoded_done = 0;
}

void finish_compressed_extraction() { settle_all(); }

void* create_entry_file(directory_cache& cache, const u16* target_path, const u16* entry_name) {
    return create_target_file(cache, target_path, entry_name);
}

void close_entry_file(void* file) { close_written_file(static_cast<HANDLE>(file)); }

void note_failed_write() {
    if (!recoverable_failures.load()) fail_unpack_write();
    extraction_failure.store(true);
}

bool write_compressed_entry(payload_archive& archive, uint64_t size, const u16* target_path,
                            const u16* entry_name, directory_cache& cache,
                            extraction_progress* progress) {
    HANDLE file = create_target_file(cache, target_path, entry_name);
    if (file == INVALID_HANDLE_VALUE) return false;
    writer.progress = progress;

    // Damage is never recoverable: a cache's staging that fell back to TEMP
    // would meet it again.
    uint64_t decoded_left = size, data_left = archive.entry_data_size, offset = 0;
    archive.entry_data_size = 0;
    bool stopped = false, last_handed_over = false;
    while (decoded_left > 0 && !stopped) {
        queued_piece job = {};
        if (read_entry_piece(archive, decoded_left, data_left, job.piece) != read_status::ok)
            fail_at(entry_name);
        job.file = file;
        job.offset = offset;
        job.last = decoded_left == 0;
        offset += job.piece.decoded_size;
        if (writer.workers) {
            retired_piece done;
            while (piece_window_full() && retire_oldest_piece(done)) settle(done);
            queue_piece(job, entry_name, archive.end);
        } else {
            settle({job, decode_here(job), entry_name});
        }
        last_handed_over = job.last;
        stopped = extraction_failure.load() ||
                  (progress != nullptr && progress->stop_requested.load(std::memory_order_relaxed));
    }
    // Pieces that end before the entry's data does are damage too.
    if (!stopped && data_left != 0) fail_at(entry_name);
    if (!last_handed_over) {
        // An empty file, or one left part-written: closed once nothing is
        // being written into it any more.
        settle_all();
        close_written_file(file);
    }
    return !stopped;
}
