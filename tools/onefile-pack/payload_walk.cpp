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
    if (!check_payload_header(archive_)) throw damaged("no KAX, KAZ or KAS header");
    if (!archive_.solid) return;
    if (!open_solid_stream(archive_, stream_)) throw damaged("its records or block size run past its end");
    // Every block's frame, found by its length alone; their bytes are the
    // payload's packed size.
    const uint8_t* first = stream_.blocks.cursor - BLOCK_SIZE_FIELD;
    for (solid_stream walk = stream_; walk.decoded_left > 0;) {
        payload_piece block = {};
        if (read_solid_block(walk, block) != read_status::ok) throw damaged("a block runs past its end");
        blocks_.push_back(block);
        packed_ = static_cast<uint64_t>(block.frame + block.frame_size - first);
    }
}

std::string payload_walk::form() const {
    if (!archive_.solid) return "zstd";
    return "zstd max, blocks of " + std::to_string(stream_.block_size >> 20) + " MiB";
}

uint64_t payload_walk::packed() const { return packed_; }

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
    entry = {std::u16string(name, name + u16_length(name)), size, archive_.cursor, archive_.entry_data_size,
             stream_offset_};
    if (!archive_.solid) packed_ += entry.packed;
    stream_offset_ += size;
    skip_entry_data(archive_);
    return true;
}

const uint8_t* payload_walk::block_at(uint64_t offset, uint64_t& block_start, size_t& block_size) {
    size_t index = static_cast<size_t>(offset / stream_.block_size);
    if (index >= blocks_.size()) throw damaged("its blocks hold fewer bytes than its entries");
    if (!context_) context_.reset(new_piece_context());
    if (!block_) block_.reset(new uint8_t[stream_.block_size]);
    if (decoded_block_ != index) {
        decoded_block_ = SIZE_MAX;
        if (!context_ || !decode_piece(context_.get(), blocks_[index], block_.get()))
            throw damaged("a block does not decode to its entries' bytes");
        decoded_block_ = index;
    }
    block_start = static_cast<uint64_t>(index) * stream_.block_size;
    block_size = blocks_[index].decoded_size;
    return block_.get();
}

void payload_walk::read(const payload_entry& entry, const std::function<void(const uint8_t*, size_t)>& part) {
    if (archive_.solid) {
        for (uint64_t at = entry.offset, end = entry.offset + entry.size; at < end;) {
            uint64_t block_start = 0;
            size_t block_size = 0;
            const uint8_t* block = block_at(at, block_start, block_size);
            size_t from = static_cast<size_t>(at - block_start);
            size_t length = static_cast<size_t>(std::min<uint64_t>(end - at, block_size - from));
            part(block + from, length);
            at += length;
        }
        return;
    }
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
