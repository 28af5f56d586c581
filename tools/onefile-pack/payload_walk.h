// A payload read in place with the launcher's own reader
// (format/archive_reader.h), for list, extract and info: each entry's name,
// size and data, and its bytes decoded as strictly as the launcher decodes
// them. Damage is a pack_error "payload is damaged: ...".
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/archive_reader.h"
#include "format/piece_decoding.h"

namespace pack {

struct payload_entry {
    std::u16string name;
    uint64_t size;        // its bytes, decoded
    const uint8_t* data;  // its data in the archive
    uint64_t packed;      // the bytes of its data there (its size when stored, 0 when solid)
    uint64_t offset;      // where its bytes begin in the solid form's stream
};

class payload_walk {
public:
    // The archive of `size` bytes at `bytes`, its header checked.
    payload_walk(const uint8_t* bytes, uint64_t size);
    bool compressed() const { return archive_.compressed || archive_.solid; }
    // "zstd" or "zstd max, blocks of 32 MiB": info's and list's words.
    std::string form() const;
    // The bytes the compressed data take in the archive: the entries' pieces
    // walked so far, or every block of the solid form.
    uint64_t packed() const;
    // The next entry; false at the end marker.
    bool next(payload_entry& entry);
    // Hands the entry's bytes to `part` in order, at most a piece at a time.
    void read(const payload_entry& entry, const std::function<void(const uint8_t*, size_t)>& part);
    // The same, into one string.
    std::string bytes_of(const payload_entry& entry);

private:
    struct context_deleter {
        void operator()(piece_context* context) const { free_piece_context(context); }
    };
    // The solid form's block that holds the stream's byte at `offset`,
    // decoded into block_ (the last one is kept).
    const uint8_t* block_at(uint64_t offset, uint64_t& block_start, size_t& block_size);

    payload_archive archive_;
    uint64_t packed_ = 0, stream_offset_ = 0;
    solid_stream stream_ = {};
    std::vector<payload_piece> blocks_;  // the solid form's, in order
    std::unique_ptr<uint8_t[]> block_;
    size_t decoded_block_ = SIZE_MAX;    // which block block_ holds
    std::unique_ptr<piece_context, context_deleter> context_;
    std::unique_ptr<uint8_t[]> piece_;
};

}  // namespace pack
