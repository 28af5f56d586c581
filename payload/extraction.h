// The extraction writer: target paths, the parent-directory walk, the
// directory cache and the writing of one entry's bytes in 32,768-byte chunks.
#pragma once
#include <atomic>
#include <cstdint>

#include "format/archive_reader.h"
#include "format/units.h"

constexpr size_t DIRECTORY_CACHE_CAPACITY = 1024;
constexpr size_t WRITE_CHUNK_SIZE = 32768;
constexpr uint32_t ERROR_CODE_ALREADY_EXISTS = 183;

// How the cache reaches the platform. Platform-free callers give their own.
struct directory_operations {
    // CreateDirectoryW: 0 on success, else the GetLastError code.
    uint32_t (*create_directory)(const u16* path);
    // Expands "{HOME}" into `out` (capacity units); false when it cannot.
    bool (*expand_home)(u16* out, size_t capacity);
    // Called when expand_home fails; does not return.
    void (*home_failed)();  // (a pointer cannot carry [[noreturn]]; clang refuses it)
    // Allocates the cache's path copies; std::malloc when absent. Tests give
    // one that fails to check that such a directory is left unrecorded.
    void* (*allocate)(size_t bytes) = nullptr;
};

// Directory paths known to exist, in insertion order. Seeded with the
// profile directory on first use; at most 1024 entries, never removed.
struct directory_cache {
    u16* paths[DIRECTORY_CACHE_CAPACITY];
    // Each path's length, so a lookup skips paths of another length at once.
    size_t lengths[DIRECTORY_CACHE_CAPACITY];
    int32_t count;
};

// target = run_directory + "\" + entry_name (capacity 4096, overflow ends the
// process abnormally); copied into first_entry_path while that is empty.
void make_target_path(u16* target_path, const u16* run_directory, const u16* entry_name,
                      u16* first_entry_path);

bool create_directory_cached(directory_cache& cache, const directory_operations& ops,
                             const u16* directory);
// Records `directory`, made by the caller, as existing (seeding the cache
// first, as create_directory_cached does), so no walk tries it again.
void remember_directory(directory_cache& cache, const directory_operations& ops,
                        const u16* directory);
bool ensure_parent_directories(directory_cache& cache, const directory_operations& ops,
                               const u16* path);

#ifdef _WIN32
const directory_operations& system_directory_operations();

// Security attributes (a SECURITY_ATTRIBUTES*) given to every directory and
// file extraction makes from now on; nullptr for the system's default.
void set_extraction_security(void* attributes);

// What another thread may watch of the extraction (the progress window): how
// far into the archive the writer has come (stored form) or how many decoded
// bytes it has written (compressed form), and a request to stop. Read and
// written between chunks only; neither ever holds the writer up.
struct extraction_progress {
    std::atomic<uint64_t> archive_bytes_done{0};
    std::atomic<bool> stop_requested{false};
};

// Writes `size` bytes from the archive's cursor into a new file at
// target_path through `write_buffer` (WRITE_CHUNK_SIZE bytes). Every failure
// ends the process with its message. With `progress`, publishes the cursor
// after each chunk and returns false, the file closed and its bytes so far
// left on disk, once a stop is requested; true otherwise. Also false after a
// recoverable failure (set_cache_staging_extraction).
bool write_payload_entry(payload_archive& archive, uint64_t size, const u16* target_path,
                         directory_cache& cache, uint8_t* write_buffer,
                         extraction_progress* progress = nullptr);

// A cache's staging (on) and any other extraction (off): when on, a file
// that cannot be made or written stops the extraction (extraction_failed()
// turns true, write_payload_entry returns false) instead of ending the
// process.
void set_cache_staging_extraction(bool on);
bool extraction_failed();

// The same for an entry of the compressed form: `size` decoded bytes in
// pieces (payload/piece_decoder.h), each decoded and written at its offset,
// on worker threads when start_compressed_extraction started them. Pieces
// are taken back in archive order; a piece that does not decode, or pieces
// that do not add up to the entry, end the process with the damaged-entry
// message naming its entry. With `progress`, publishes the decoded bytes
// written so far. A file is complete only after finish_compressed_extraction.
void start_compressed_extraction(const payload_archive& archive);
bool write_compressed_entry(payload_archive& archive, uint64_t size, const u16* target_path,
                            const u16* entry_name, directory_cache& cache,
                            extraction_progress* progress = nullptr);
void finish_compressed_extraction();

// The same for the solid form (payload/solid_decoder_win32.cpp): the
// entries' bytes come from blocks that span files, each decoded on its own
// and written into the files it holds. start_solid_extraction ends the
// process with the damaged-payload message when the records or the block
// size are damaged; a block that does not decode ends it with the
// damaged-entry message naming the first entry whose bytes it holds.
void start_solid_extraction(const payload_archive& archive);
bool write_solid_entry(uint64_t size, const u16* target_path, const u16* entry_name, directory_cache& cache,
                       extraction_progress* progress = nullptr);
void finish_solid_extraction();

// What the forms' writers share: an entry's file made new (a HANDLE, or
// INVALID_HANDLE_VALUE after a failure a cache's staging recovers from; a
// name met twice is damage), a written file handed to the closing threads,
// and a failed write reported (or recorded, in a cache's staging).
void* create_entry_file(directory_cache& cache, const u16* target_path, const u16* entry_name);
void close_entry_file(void* file);
void note_failed_write();

// A written file is closed on one of a few closing threads: under real-time
// antivirus scanning a close costs 1 to 10 ms (the scanner looks at the file
// then), and the next entry need not wait for it. finish_extraction_closes
// returns once every file handed over is closed; call it before anything
// relies on the files (the child, a cache's record). With 0 threads, or when
// none can be started, files are closed on the writing thread.
constexpr int EXTRACTION_CLOSE_THREADS = 4;
void set_extraction_close_threads(int count);
void finish_extraction_closes();
#endif
