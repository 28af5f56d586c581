// The decoding window: a ring of pieces queued by the writer, each decoded
// and written into its file by a worker thread. Win32 threads and locks
// only; the decoding itself is format/piece_decoding.cpp's. Worker threads
// never enter the heap: their contexts and buffers are made on the writing
// thread, so a process that ends while they work cannot leave the heap's
// lock taken.
#include "payload/piece_decoder.h"

#include <cstdlib>

#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

constexpr SIZE_T DECODER_THREAD_STACK = 64 * 1024;
// The writer asks the system to read the payload's pages this far ahead of
// it. Several threads faulting in pieces of one mapped file defeat the
// kernel's sequential read-ahead (Wine 8 on Linux: a cold start read its
// third of the bytes slower than the stored form's whole); an explicit
// prefetch reads them in large sequential requests instead. It is asked
// for in ranges of PREFETCH_RANGE: Linux reads at most its read-ahead size
// (from 128 KiB up) of each range Wine passes on, and skips the rest.
constexpr size_t PREFETCH_SPAN = 32 << 20;
constexpr size_t PREFETCH_RANGE = 128 << 10;

enum class slot_state { free, queued, working, done };

struct window_slot {
    queued_piece job;
    slot_state state;
    piece_outcome outcome;
    uint8_t* buffer;
    u16 entry_name[ENTRY_NAME_CAPACITY];
};

struct decoding_window {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE queued = CONDITION_VARIABLE_INIT;  // a piece waits
    CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;    // one was finished
    window_slot slots[PIECE_WINDOW_SLOTS];
    size_t head = 0, count = 0;  // the oldest slot; slots in use
    size_t slot_limit = 0;       // slots with a buffer
    int started = 0;
    const uint8_t* prefetched_end = nullptr;
};
decoding_window window;

int wanted_threads() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    int cores = static_cast<int>(info.dwNumberOfProcessors);
    return cores < 1 ? 1 : cores > PIECE_DECODER_THREAD_CAP ? PIECE_DECODER_THREAD_CAP : cores;
}

// Decoded bytes are written in stretches of this size as they are decoded,
// on the thread that decoded them, while they are still in its cache. A
// whole piece of 1 MiB decoded before its write had left that cache: the
// kernel's copy of it into the file then cost as much as the decoding (perf
// under Wine 8, 2 cores: 28 % of a start's samples against 2 % for the
// stored form's 32 KiB writes); handed to another thread, it cost the
// writer as much again.
constexpr size_t WRITE_STRETCH = 64 * 1024;

// Writes `count` decoded bytes, `offset` bytes into the piece, where they
// belong in the piece's file.
bool write_stretch(const void* state, const uint8_t* bytes, size_t count, size_t offset) {
    const queued_piece& job = *static_cast<const queued_piece*>(state);
    uint64_t at_file = job.offset + offset;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(at_file);
    at.OffsetHigh = static_cast<DWORD>(at_file >> 32);
    DWORD written = 0;
    return win32.WriteFile(static_cast<HANDLE>(job.file), bytes, static_cast<DWORD>(count), &written, &at) &&
           written == count;
}

}  // namespace

piece_outcome decode_and_write(piece_context* context, const queued_piece& job, uint8_t* buffer) {
    switch (decode_piece_streamed(context, job.piece, buffer, WRITE_STRETCH, write_stretch,
                                  &job)) {
        case streamed_piece::decoded: return piece_outcome::written;
        case streamed_piece::sink_failed: return piece_outcome::write_failed;
        case streamed_piece::damaged: break;
    }
    return piece_outcome::damaged;
}

namespace {

DWORD WINAPI decoder_thread(void* parameter) {
    piece_context* context = static_cast<piece_context*>(parameter);
    AcquireSRWLockExclusive(&window.lock);
    for (;;) {
        window_slot* next = nullptr;
        for (size_t i = 0; i < window.count && next == nullptr; ++i) {
            window_slot& slot = window.slots[(window.head + i) % window.slot_limit];
            if (slot.state == slot_state::queued) next = &slot;
        }
        if (next == nullptr) {
            SleepConditionVariableSRW(&window.queued, &window.lock, INFINITE, 0);
            continue;
        }
        next->state = slot_state::working;
        ReleaseSRWLockExclusive(&window.lock);
        piece_outcome outcome = decode_and_write(context, next->job, next->buffer);
        AcquireSRWLockExclusive(&window.lock);
        next->outcome = outcome;
        next->state = slot_state::done;
        WakeAllConditionVariable(&window.done);
    }
}

// Starts `threads` workers with a context each, and a buffer for each slot;
// fewer when memory or threads run out (none at all leaves the pieces to
// the writer).
void start_workers(int threads) {
    size_t slots = 2 * static_cast<size_t>(threads) + 2;
    while (window.slot_limit < slots) {
        window_slot& slot = window.slots[window.slot_limit];
        slot.buffer = static_cast<uint8_t*>(std::malloc(PIECE_SIZE));
        if (slot.buffer == nullptr) break;
        ++window.slot_limit;
    }
    while (window.started < threads && window.slot_limit >= 2) {
        piece_context* context = new_piece_context();
        if (context == nullptr) break;
        HANDLE thread = win32.CreateThread(nullptr, DECODER_THREAD_STACK, decoder_thread, context,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread == nullptr) break;  // the context is kept: the heap stays untouched here
        (void)win32.CloseHandle(thread);
        ++window.started;
    }
}

// Keeps the next PREFETCH_SPAN bytes after `cursor` on their way in; a
// system without the call just faults them in.
void prefetch_from(const uint8_t* cursor, const uint8_t* end) {
    if (window.prefetched_end != nullptr && window.prefetched_end > cursor &&
        window.prefetched_end - cursor > static_cast<ptrdiff_t>(PREFETCH_SPAN / 2))
        return;
    const uint8_t* from = cursor;
    if (window.prefetched_end != nullptr && window.prefetched_end > cursor) from = window.prefetched_end;
    size_t left = static_cast<size_t>(end - from);
    size_t span = left < PREFETCH_SPAN ? left : PREFETCH_SPAN;
    if (span == 0) return;
    WIN32_MEMORY_RANGE_ENTRY ranges[PREFETCH_SPAN / PREFETCH_RANGE];
    ULONG_PTR count = 0;
    for (size_t at = 0; at < span; at += PREFETCH_RANGE) {
        size_t part = span - at < PREFETCH_RANGE ? span - at : PREFETCH_RANGE;
        ranges[count++] = {const_cast<uint8_t*>(from) + at, part};
    }
    (void)PrefetchVirtualMemory(GetCurrentProcess(), count, ranges, 0);
    window.prefetched_end = from + span;
}

}  // namespace

bool start_piece_workers(uint64_t decoded_size) {
    if (decoded_size >= PIECE_THREADS_THRESHOLD && window.started == 0) start_workers(wanted_threads());
    window.prefetched_end = nullptr;
    return window.started > 0;
}

bool piece_window_full() {
    AcquireSRWLockExclusive(&window.lock);
    bool full = window.count == window.slot_limit;
    ReleaseSRWLockExclusive(&window.lock);
    return full;
}

void queue_piece(const queued_piece& job, const u16* entry_name, const uint8_t* archive_end) {
    prefetch_from(job.piece.frame, archive_end);
    AcquireSRWLockExclusive(&window.lock);
    window_slot& slot = window.slots[(window.head + window.count) % window.slot_limit];
    slot.job = job;
    bounded_copy(slot.entry_name, entry_name, ENTRY_NAME_CAPACITY);
    slot.state = slot_state::queued;
    ++window.count;
    WakeConditionVariable(&window.queued);
    ReleaseSRWLockExclusive(&window.lock);
}

bool retire_oldest_piece(retired_piece& out) {
    AcquireSRWLockExclusive(&window.lock);
    if (window.count == 0) {
        ReleaseSRWLockExclusive(&window.lock);
        return false;
    }
    window_slot& slot = window.slots[window.head];
    while (slot.state != slot_state::done) SleepConditionVariableSRW(&window.done, &window.lock, INFINITE, 0);
    out.job = slot.job;
    out.outcome = slot.outcome;
    out.entry_name = slot.entry_name;  // stays until the slot is queued again
    slot.state = slot_state::free;
    window.head = (window.head + 1) % window.slot_limit;
    --window.count;
    ReleaseSRWLockExclusive(&window.lock);
    return true;
}
