// The decoding window: a ring of pieces read ahead of the writer, decoded by
// worker threads. Win32 threads and locks only; the decoding itself is
// piece_decoder.cpp's. Worker threads never enter the heap: their contexts
// and buffers are made on the writing thread, so a process that ends while
// they decode cannot leave the heap's lock taken.
#include "payload/piece_decoder.h"

#include <cstdlib>

#include "platform/win32_api.h"

namespace {

constexpr SIZE_T DECODER_THREAD_STACK = 64 * 1024;
// The read-ahead asks the system to read the payload's pages this far ahead
// of it. Several threads faulting in pieces of one mapped file defeat the
// kernel's sequential read-ahead (Wine 8 on Linux: a cold start read its
// third of the bytes slower than the stored form's whole); an explicit
// prefetch reads them in large sequential requests instead.
constexpr size_t PREFETCH_SPAN = 32 << 20;

enum class slot_state { free, queued, decoding, decoded, damaged };

struct window_slot {
    payload_piece piece;
    slot_state state;
    uint8_t* buffer;
};

struct decoding_window {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE queued = CONDITION_VARIABLE_INIT;   // a piece waits
    CONDITION_VARIABLE decoded = CONDITION_VARIABLE_INIT;  // one was decoded
    window_slot slots[PIECE_WINDOW_SLOTS];
    size_t head = 0, count = 0;  // the writer's next slot; slots in use
    size_t slot_limit = 0;       // slots with a buffer
    int wanted = -1;             // -1: the processor count
    int started = 0;
    // The read-ahead: its own cursor through the archive, in an entry or
    // between entries. It stops for good at the end marker or at anything
    // damaged; the writer finds the damage itself when it gets there.
    payload_archive ahead;
    bool reading = false;
    bool in_entry = false;
    uint64_t decoded_left = 0, data_left = 0;
    u16 name[ENTRY_NAME_CAPACITY];
    // The writer's own context and buffer, for pieces it decodes itself.
    piece_context* own_context = nullptr;
    uint8_t* own_buffer = nullptr;
    bool took_slot = false;  // the last piece taken came from the ring
    const uint8_t* prefetched_end = nullptr;
};
decoding_window window;

int wanted_threads() {
    if (window.wanted >= 0) return window.wanted;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    int cores = static_cast<int>(info.dwNumberOfProcessors);
    return cores < 1 ? 1 : cores > PIECE_DECODER_THREAD_CAP ? PIECE_DECODER_THREAD_CAP : cores;
}

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
        next->state = slot_state::decoding;
        ReleaseSRWLockExclusive(&window.lock);
        bool whole = decode_piece(context, next->piece, next->buffer);
        AcquireSRWLockExclusive(&window.lock);
        next->state = whole ? slot_state::decoded : slot_state::damaged;
        WakeAllConditionVariable(&window.decoded);
    }
}

// The read-ahead's next piece, or false once it has stopped.
bool read_ahead(payload_piece& piece) {
    while (window.reading) {
        if (!window.in_entry) {
            uint64_t size = 0;
            if (read_entry_name(window.ahead, window.name) != read_status::ok ||
                read_entry_size(window.ahead, size) != read_status::ok) {
                window.reading = false;
                break;
            }
            window.decoded_left = size;
            window.data_left = window.ahead.entry_data_size;
            window.in_entry = true;
        }
        if (window.decoded_left == 0) {
            window.in_entry = false;
            if (window.data_left != 0) window.reading = false;
            continue;
        }
        if (read_entry_piece(window.ahead, window.decoded_left, window.data_left, piece) != read_status::ok) {
            window.reading = false;
            break;
        }
        return true;
    }
    return false;
}

// Keeps the next PREFETCH_SPAN bytes after the read-ahead's cursor on
// their way in; a system without the call just faults them in.
void prefetch_ahead() {
    const uint8_t* cursor = window.ahead.cursor;
    if (window.prefetched_end != nullptr && window.prefetched_end - cursor > static_cast<ptrdiff_t>(PREFETCH_SPAN / 2))
        return;
    const uint8_t* from = window.prefetched_end != nullptr && window.prefetched_end > cursor ? window.prefetched_end : cursor;
    size_t span = static_cast<size_t>(window.ahead.end - from) < PREFETCH_SPAN ? static_cast<size_t>(window.ahead.end - from)
                                                                               : PREFETCH_SPAN;
    if (span == 0) return;
    WIN32_MEMORY_RANGE_ENTRY range = {const_cast<uint8_t*>(from), span};
    (void)PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0);
    window.prefetched_end = from + span;
}

// Fills free slots with the pieces ahead; called with the lock held.
void fill_window() {
    if (window.reading) prefetch_ahead();
    bool added = false;
    payload_piece piece;
    while (window.count < window.slot_limit && read_ahead(piece)) {
        window_slot& slot = window.slots[(window.head + window.count) % window.slot_limit];
        slot.piece = piece;
        slot.state = slot_state::queued;
        ++window.count;
        added = true;
    }
    if (added) WakeAllConditionVariable(&window.queued);
}

// Starts `threads` workers with a context each, and a buffer for each slot;
// fewer when memory or threads run out (none at all decodes on the writer).
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

}  // namespace

void set_piece_decoder_threads(int count) { window.wanted = count; }

void start_piece_decoding(const payload_archive& archive, uint64_t decoded_total) {
    finish_piece_decoding();
    if (decoded_total < PIECE_THREADS_THRESHOLD) return;
    int threads = wanted_threads();
    if (threads > 0 && window.started < threads) start_workers(threads);
    if (window.started == 0) return;
    AcquireSRWLockExclusive(&window.lock);
    window.ahead = archive;
    window.prefetched_end = nullptr;
    window.reading = true;
    window.in_entry = false;
    fill_window();
    ReleaseSRWLockExclusive(&window.lock);
}

const uint8_t* take_decoded_piece(const payload_piece& piece) {
    AcquireSRWLockExclusive(&window.lock);
    if (window.count > 0 && window.slots[window.head].piece.frame == piece.frame) {
        window_slot& slot = window.slots[window.head];
        while (slot.state == slot_state::queued || slot.state == slot_state::decoding)
            SleepConditionVariableSRW(&window.decoded, &window.lock, INFINITE, 0);
        bool whole = slot.state == slot_state::decoded;
        window.took_slot = true;
        ReleaseSRWLockExclusive(&window.lock);
        return whole ? slot.buffer : nullptr;
    }
    window.took_slot = false;
    ReleaseSRWLockExclusive(&window.lock);
    // Not read ahead (no workers, or the read-ahead stopped before it):
    // decoded here.
    if (window.own_context == nullptr) window.own_context = new_piece_context();
    if (window.own_buffer == nullptr) window.own_buffer = static_cast<uint8_t*>(std::malloc(PIECE_SIZE));
    if (window.own_context == nullptr || window.own_buffer == nullptr) return nullptr;
    return decode_piece(window.own_context, piece, window.own_buffer) ? window.own_buffer : nullptr;
}

void release_decoded_piece() {
    AcquireSRWLockExclusive(&window.lock);
    if (window.took_slot) {
        window.took_slot = false;
        window.slots[window.head].state = slot_state::free;
        window.head = (window.head + 1) % window.slot_limit;
        --window.count;
        fill_window();
    }
    ReleaseSRWLockExclusive(&window.lock);
}

void finish_piece_decoding() {
    AcquireSRWLockExclusive(&window.lock);
    window.reading = false;
    for (;;) {
        bool busy = false;
        for (size_t i = 0; i < window.count; ++i) {
            window_slot& slot = window.slots[(window.head + i) % window.slot_limit];
            if (slot.state == slot_state::queued) slot.state = slot_state::free;
            busy = busy || slot.state == slot_state::decoding;
        }
        if (!busy) break;
        SleepConditionVariableSRW(&window.decoded, &window.lock, INFINITE, 0);
    }
    for (size_t i = 0; i < window.count; ++i)
        window.slots[(window.head + i) % window.slot_limit].state = slot_state::free;
    window.head = 0;
    window.count = 0;
    window.took_slot = false;
    ReleaseSRWLockExclusive(&window.lock);
}
