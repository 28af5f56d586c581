// The payload's records walked with the launcher's reader; the messages say
// what the reader found wrong.
#include "payload_walk.h"

#include <algorithm>

#include "errors.h"

namespace pack {

namespace {

pack_error damaged(const char* what) { return pack_error(std::string("payload is damaged: ") + what); }

constexpr size_t STORED_PART = 1 << 20;

}  // namespace

payload_walk::payload_walk(const uint8_t* bytes, uint64_t size)
    : archive_(payload_archive_over(bytes, static_cast<size_t>(size))) {
    if (size < ARCHIVE_HEADER_SIZE) throw damaged("it ends inside a record");
    if (!check_payload_header(archive_)) throw damaged("no KAX or KAZ header");
}

bool payload_walk::next(payload_entry& entry) {
    u16 name[ENTRY_NAME_CAPACITY];
    switch (read_entry_name(archive_, name)) {
        case read_status::ok: break;
        case read_status::end_marker: return false;
        case read_status::name_too_long: throw damaged("a name is longer than 1023 units");
        case read_status::truncated: throw damaged("it ends inside a record");
    }
    uint64_t size = 0;
    if (read_entry_size(archive_, size) != read_status::ok) throw damaged("an entry runs past its end");
    entry = {std::u16string(name, name + u16_length(name)), size, archive_.cursor, archive_.entry_data_size};
    skip_entry_data(archive_);
    return true;
}

void payload_walk::read(const payload_entry& entry, const std::function<void(const uint8_t*, size_t)>& part) {
    if (!archive_.compressed) {
        for (uint64_t at = 0; at < entry.size; at += STORED_PART)
            part(entry.data + at, static_cast<size_t>(std::min<uint64_t>(entry.size - at, STORED_PART)));
        return;
    }
    if (!context_) context_.reset(new_piece_context());
    if (!piece_) piece_.reset(new uint8_t[PIECE_SIZE]);
    payload_archive pieces = payload_archive_over(entry.data, static_cast<size_t>(entry.packed));
    pieces.compressed = true;
    uint64_t decoded_left = entry.size, data_left = entry.packed;
    while (decoded_left > 0) {
        payload_piece piece = {};
        if (read_entry_piece(pieces, decoded_left, data_left, piece) != read_status::ok)
            throw damaged("a piece runs past its entry");
        if (!context_ || !decode_piece(context_.get(), piece, piece_.get()))
            throw damaged("a piece does not decode to its entry's bytes");
        part(piece_.get(), piece.decoded_size);
    }
    if (data_left != 0) throw damaged("an entry's pieces do not fill its data");
}

std::string payload_walk::bytes_of(const payload_entry& entry) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(entry.size));
    read(entry, [&](const uint8_t* data, size_t size) { bytes.append(reinterpret_cast<const char*>(data), size); });
    return bytes;
}

}  // namespace pack
