// A payload read in place with the launcher's own reader
// (format/archive_reader.h), for list, extract and info: each entry's name,
// size and data, and its bytes decoded as strictly as the launcher decodes
// them. Damage is a pack_error "payload is damaged: ...".
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "format/archive_reader.h"
#include "format/piece_decoding.h"

namespace pack {

struct payload_entry {
    std::u16string name;
    uint64_t size;        // its bytes, decoded
    const uint8_t* data;  // its data in the archive
    uint64_t packed;      // the bytes of its data there (its size when stored)
};

class payload_walk {
public:
    // The archive of `size` bytes at `bytes`, its header checked.
    payload_walk(const uint8_t* bytes, uint64_t size);
    bool compressed() const { return archive_.compressed; }
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
    payload_archive archive_;
    std::unique_ptr<piece_context, context_deleter> context_;
    std::unique_ptr<uint8_t[]> piece_;
};

}  // namespace pack
