// The solid form's writer: the entries' bytes come in blocks that span
// files. The writing thread walks the records, makes each file and plans
// which ranges of which block go where in it; a worker thread decodes a
// block into its own buffer and writes its ranges into their files as the
// bytes come;
// the writing thread takes finished blocks back in archive order, reports
// the first damage or failed write and closes the files they finished.
// Win32 threads and locks only; the decoding is format/piece_decoding.cpp's.
// Worker threads never enter the heap: their contexts and buffers, and every
// block's list of ranges, are made on the writing thread.
#include <cstdlib>
#include <initializer_list>

#include "diagnostics/failure.h"
#include "payload/extraction.h"
#include "format/piece_decoding.h"
#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

constexpr int SOLID_THREAD_CAP = 8;
// One decoded block per worker is held at once. Three blocks of 32 MiB keep
// the parent's private memory under 128 MB, so a machine of more
// processors decodes on three threads.
constexpr uint64_t SOLID_MEMORY_BUDGET = 96ull << 20;
// Blocks planned ahead of the workers: their files are open meanwhile.
constexpr size_t SOLID_SLOTS_AHEAD = 2;
constexpr size_t SOLID_SLOTS = SOLID_THREAD_CAP + SOLID_SLOTS_AHEAD;
constexpr SIZE_T SOLID_THREAD_STACK = 64 * 1024;
constexpr size_t FIRST_RANGES = 64;
// Decoded bytes written out at a time: in the cache still, and few calls.
constexpr size_t BLOCK_WRITE_STEP = 256 << 10;

// Bytes of a block that belong at an offset of one file.
struct block_range {
    HANDLE file;
    uint64_t file_offset;
    uint32_t block_offset, length;
    bool last;  // the file's last bytes: it may be closed once they are written
};

enum class slot_state { free, queued, working, done };
enum class block_outcome { written, damaged, write_failed };

struct block_slot {
    payload_piece block;
    slot_state state;
    block_outcome outcome;
    block_range* ranges;
    size_t range_count, range_capacity;
    u16 first_name[ENTRY_NAME_CAPACITY];  // the first entry whose bytes it holds
};

struct block_decoder {
    piece_context* context;
    uint8_t* buffer;  // a decoded block
};

struct solid_writer {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE queued = CONDITION_VARIABLE_INIT;  // a block waits
    CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;    // one was finished
    block_slot slots[SOLID_SLOTS];
    size_t head = 0, count = 0;  // the oldest queued slot; slots queued or beyond
    size_t slot_limit = 1;
    int started = 0;
    block_decoder workers[SOLID_THREAD_CAP];
    block_decoder here;  // decodes on the writing thread when no worker runs
    size_t buffer_size = 0;
    solid_stream stream;
    block_slot* planning = nullptr;  // the block whose ranges are being given out
    uint32_t planned = 0;            // its bytes given out so far
    HANDLE unfinished = nullptr;     // a file left part-planned by a stop
    uint64_t decoded_done = 0;
    extraction_progress* progress = nullptr;
};
solid_writer solid;

// A block's decoded bytes going out to their files as they come: ranges
// before `range` are written, and the bytes of the block before `written`.
struct block_writing {
    const block_slot* slot;
    const uint8_t* bytes;
    size_t range;
    size_t written;
    bool failed;
};

// Writes what is decoded, once a step's worth is ready or the block is done:
// the bytes go into their files from the core that decoded them, while they
// are still in its cache.
bool write_ready(void* state, size_t count) {
    block_writing& out = *static_cast<block_writing*>(state);
    const block_slot& slot = *out.slot;
    if (count - out.written < BLOCK_WRITE_STEP && count < slot.block.decoded_size) return true;
    while (out.range < slot.range_count) {
        const block_range& range = slot.ranges[out.range];
        size_t range_end = static_cast<size_t>(range.block_offset) + range.length;
        size_t from = out.written > range.block_offset ? out.written : range.block_offset;
        size_t to = range_end < count ? range_end : count;
        if (to > from) {
            uint64_t at_file = range.file_offset + (from - range.block_offset);
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(at_file);
            at.OffsetHigh = static_cast<DWORD>(at_file >> 32);
            DWORD length = static_cast<DWORD>(to - from), written = 0;
            if (!win32.WriteFile(range.file, out.bytes + from, length, &written, &at) || written != length) {
                out.failed = true;
                return false;
            }
        }
        if (range_end > count) break;
        ++out.range;
    }
    out.written = count;
    return true;
}

block_outcome decode_and_write(block_decoder& decoder, const block_slot& slot) {
    if (decoder.context == nullptr || decoder.buffer == nullptr) return block_outcome::damaged;
    block_writing out = {&slot, decoder.buffer, 0, 0, false};
    if (decode_block(decoder.context, slot.block, decoder.buffer, write_ready, &out)) return block_outcome::written;
    return out.failed ? block_outcome::write_failed : block_outcome::damaged;
}

DWORD WINAPI solid_thread(void* parameter) {
    block_decoder& decoder = *static_cast<block_decoder*>(parameter);
    AcquireSRWLockExclusive(&solid.lock);
    for (;;) {
        block_slot* next = nullptr;
        for (size_t i = 0; i < solid.count && next == nullptr; ++i) {
            block_slot& slot = solid.slots[(solid.head + i) % solid.slot_limit];
            if (slot.state == slot_state::queued) next = &slot;
        }
        if (next == nullptr) {
            SleepConditionVariableSRW(&solid.queued, &solid.lock, INFINITE, 0);
            continue;
        }
        next->state = slot_state::working;
        ReleaseSRWLockExclusive(&solid.lock);
        block_outcome outcome = decode_and_write(decoder, *next);
        AcquireSRWLockExclusive(&solid.lock);
        next->outcome = outcome;
        next->state = slot_state::done;
        WakeAllConditionVariable(&solid.done);
    }
}

int wanted_threads(uint64_t blocks, size_t buffer_size) {
    if (blocks < 2) return 0;  // one block gains nothing from a thread
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    uint64_t threads = info.dwNumberOfProcessors;
    uint64_t by_memory = SOLID_MEMORY_BUDGET / buffer_size;
    for (uint64_t cap : {static_cast<uint64_t>(SOLID_THREAD_CAP), by_memory, blocks})
        if (threads > cap) threads = cap;
    return threads < 1 ? 1 : static_cast<int>(threads);
}

// Workers with a context and a buffer each; fewer when memory or threads
// run out (none at all leaves the blocks to the writing thread).
void start_workers(int threads) {
    while (solid.started < threads) {
        block_decoder& decoder = solid.workers[solid.started];
        if (decoder.context == nullptr) decoder.context = new_piece_context();
        if (decoder.buffer == nullptr) decoder.buffer = static_cast<uint8_t*>(std::malloc(solid.buffer_size));
        if (decoder.context == nullptr || decoder.buffer == nullptr) break;
        HANDLE thread = win32.CreateThread(nullptr, SOLID_THREAD_STACK, solid_thread, &decoder,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread == nullptr) break;  // what was made is kept: the heap stays untouched here
        (void)win32.CloseHandle(thread);
        ++solid.started;
    }
    solid.slot_limit = solid.started > 0 ? static_cast<size_t>(solid.started) + SOLID_SLOTS_AHEAD : 1;
}

// A finished block, taken in archive order.
void settle(block_slot& slot) {
    if (slot.outcome == block_outcome::damaged) fail_damaged_entry(slot.first_name);
    if (slot.outcome == block_outcome::write_failed) note_failed_write();
    for (size_t i = 0; i < slot.range_count; ++i)
        if (slot.ranges[i].last) close_entry_file(slot.ranges[i].file);
    solid.decoded_done += slot.block.decoded_size;
    if (solid.progress != nullptr)
        solid.progress->archive_bytes_done.store(solid.decoded_done, std::memory_order_relaxed);
}

// Waits for the oldest queued block and settles it; false when none is queued.
bool retire_oldest() {
    AcquireSRWLockExclusive(&solid.lock);
    if (solid.count == 0) {
        ReleaseSRWLockExclusive(&solid.lock);
        return false;
    }
    block_slot& slot = solid.slots[solid.head];
    while (slot.state != slot_state::done) SleepConditionVariableSRW(&solid.done, &solid.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&solid.lock);
    settle(slot);  // no worker looks at a slot that is done
    AcquireSRWLockExclusive(&solid.lock);
    slot.state = slot_state::free;
    solid.head = (solid.head + 1) % solid.slot_limit;
    --solid.count;
    ReleaseSRWLockExclusive(&solid.lock);
    return true;
}

void settle_all() {
    while (retire_oldest()) {
    }
}

// Damage met by the writing thread: blocks before it are settled first, so
// an earlier entry's damage is the one named.
[[noreturn]] void fail_at(const u16* entry_name) {
    settle_all();
    fail_damaged_entry(entry_name);
}

// The next block, in a free slot, its ranges given out from here on.
void begin_block(const u16* entry_name) {
    if (solid.started > 0)
        while (solid.count == solid.slot_limit) retire_oldest();
    block_slot& slot = solid.slots[(solid.head + solid.count) % solid.slot_limit];
    if (read_solid_block(solid.stream, slot.block) != read_status::ok) fail_at(entry_name);
    slot.range_count = 0;
    bounded_copy(slot.first_name, entry_name, ENTRY_NAME_CAPACITY);
    solid.planning = &slot;
    solid.planned = 0;
}

void add_range(const block_range& range, const u16* entry_name) {
    block_slot& slot = *solid.planning;
    if (slot.range_count == slot.range_capacity) {
        size_t capacity = slot.range_capacity == 0 ? FIRST_RANGES : 2 * slot.range_capacity;
        void* grown = std::realloc(slot.ranges, capacity * sizeof(block_range));
        if (grown == nullptr) fail_at(entry_name);  // without memory the entry cannot be unpacked
        slot.ranges = static_cast<block_range*>(grown);
        slot.range_capacity = capacity;
    }
    slot.ranges[slot.range_count++] = range;
}

// Hands the planned block to the workers, or decodes it here without them.
void queue_block() {
    block_slot& slot = *solid.planning;
    solid.planning = nullptr;
    if (solid.started == 0) {
        if (solid.here.context == nullptr) solid.here.context = new_piece_context();
        if (solid.here.buffer == nullptr) solid.here.buffer = static_cast<uint8_t*>(std::malloc(solid.buffer_size));
        slot.outcome = decode_and_write(solid.here, slot);
        settle(slot);
        return;
    }
    AcquireSRWLockExclusive(&solid.lock);
    slot.state = slot_state::queued;
    ++solid.count;
    WakeConditionVariable(&solid.queued);
    ReleaseSRWLockExclusive(&solid.lock);
}

}  // namespace

void start_solid_extraction(const payload_archive& archive) {
    if (!open_solid_stream(archive, solid.stream)) fail_with_message(MESSAGE_DAMAGED_PAYLOAD);
    uint64_t total = solid.stream.total, block_size = solid.stream.block_size;
    solid.buffer_size = static_cast<size_t>(total < block_size ? total : block_size);
    if (solid.buffer_size == 0) return;
    start_workers(wanted_threads((total + block_size - 1) / block_size, solid.buffer_size));
}

bool write_solid_entry(uint64_t size, const u16* target_path, const u16* entry_name, directory_cache& cache,
                       extraction_progress* progress) {
    solid.progress = progress;
    HANDLE file = static_cast<HANDLE>(create_entry_file(cache, target_path, entry_name));
    if (file == INVALID_HANDLE_VALUE) return false;
    if (size == 0) {
        close_entry_file(file);
        return true;
    }
    for (uint64_t offset = 0; offset < size;) {
        if (solid.planning == nullptr) begin_block(entry_name);
        uint32_t room = solid.planning->block.decoded_size - solid.planned;
        uint32_t length = size - offset < room ? static_cast<uint32_t>(size - offset) : room;
        add_range({file, offset, solid.planned, length, offset + length == size}, entry_name);
        offset += length;
        solid.planned += length;
        if (solid.planned == solid.planning->block.decoded_size) queue_block();
        if (offset < size && (extraction_failed() || (progress != nullptr &&
                                                      progress->stop_requested.load(std::memory_order_relaxed)))) {
            solid.unfinished = file;  // closed once nothing is written into it any more
            return false;
        }
    }
    return true;
}

void finish_solid_extraction() {
    // Only a stop leaves a block part-planned: its ranges so far are written.
    if (solid.planning != nullptr) queue_block();
    settle_all();
    if (solid.unfinished != nullptr) close_entry_file(solid.unfinished);
    solid.unfinished = nullptr;
}
