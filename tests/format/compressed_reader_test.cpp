// The compressed form: sizes read without decoding, pieces bounded by their
// entry, and the decoder's refusal of every frame the packer never writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "format/archive_reader.h"
#include "format/little_endian.h"
#include "format/piece_decoding.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string frame_of(const std::string& data, bool checksum, bool content_size = true) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, content_size ? 1 : 0);
    std::string frame(ZSTD_compressBound(data.size()), '\0');
    frame.resize(ZSTD_compress2(context, &frame[0], frame.size(), data.data(), data.size()));
    ZSTD_freeCCtx(context);
    return frame;
}

// "KAZ", one entry "a" of `size` bytes whose data are `pieces` (length and
// frame each), and the end marker.
bytes one_entry(uint64_t size, const std::vector<std::string>& frames) {
    bytes out = {0x4B, 0x41, 0x5A};
    put_le(out, 'a', 2);
    put_le(out, 0, 2);
    bytes data;
    for (const std::string& frame : frames) {
        put_le(data, frame.size(), 4);
        data.insert(data.end(), frame.begin(), frame.end());
    }
    put_le(out, size, 8);
    put_le(out, data.size(), 8);
    out.insert(out.end(), data.begin(), data.end());
    put_le(out, 0, 2);
    return out;
}

struct opened {
    payload_archive view;
    uint64_t size = 0;
};

opened open_entry(const bytes& archive) {
    opened result;
    result.view = payload_archive_over(archive.data(), archive.size());
    EXPECT_TRUE(check_payload_header(result.view));
    EXPECT_TRUE(result.view.compressed);
    u16 name[ENTRY_NAME_CAPACITY];
    EXPECT_EQ(read_entry_name(result.view, name), read_status::ok);
    EXPECT_EQ(read_entry_size(result.view, result.size), read_status::ok);
    return result;
}

// Collects what the streamed decoding hands on, each stretch at its offset.
bool collect(const void* state, const uint8_t* bytes, size_t count, size_t offset) {
    std::string& into = *static_cast<std::string*>(const_cast<void*>(state));
    if (offset != into.size()) return false;
    into.append(reinterpret_cast<const char*>(bytes), count);
    return true;
}

// Decodes every piece of the entry, whole and streamed in small stretches
// (the launcher's way), which must agree; false at the first that fails.
bool decodes(const bytes& archive, std::string* out = nullptr) {
    opened entry = open_entry(archive);
    uint64_t decoded_left = entry.size, data_left = entry.view.entry_data_size;
    piece_context* context = new_piece_context();
    std::vector<uint8_t> buffer(PIECE_SIZE), streamed(PIECE_SIZE);
    bool whole = true;
    while (whole && decoded_left > 0) {
        payload_piece piece;
        whole = read_entry_piece(entry.view, decoded_left, data_left, piece) == read_status::ok;
        if (!whole) break;
        whole = decode_piece(context, piece, buffer.data());
        std::string handed;
        streamed_piece result = decode_piece_streamed(context, piece, streamed.data(), 4096, collect, &handed);
        EXPECT_EQ(result == streamed_piece::decoded, whole);
        if (whole) {
            EXPECT_TRUE(handed == std::string(reinterpret_cast<char*>(buffer.data()), piece.decoded_size));
        }
        if (whole && out) out->append(reinterpret_cast<char*>(buffer.data()), piece.decoded_size);
    }
    ZSTD_freeDCtx(context);
    return whole && data_left == 0;
}

TEST(CompressedArchive, PiecesOfAWholeEntryDecodeToItsBytes) {
    std::string data(PIECE_SIZE + 100, 'x');
    for (size_t i = 0; i < data.size(); i += 7) data[i] = static_cast<char>(i);
    bytes archive = one_entry(data.size(), {frame_of(data.substr(0, PIECE_SIZE), true),
                                            frame_of(data.substr(PIECE_SIZE), true)});
    std::string decoded;
    EXPECT_TRUE(decodes(archive, &decoded));
    EXPECT_TRUE(decoded == data);
    // The stored walk's skip goes past the pieces to the end marker.
    opened entry = open_entry(archive);
    skip_entry_data(entry.view);
    u16 name[ENTRY_NAME_CAPACITY];
    EXPECT_EQ(read_entry_name(entry.view, name), read_status::end_marker);
}

TEST(CompressedArchive, FramesThePackerNeverWritesAreRefused) {
    std::string data(5000, 'q');
    EXPECT_TRUE(decodes(one_entry(5000, {frame_of(data, true)})));
    EXPECT_FALSE(decodes(one_entry(5000, {frame_of(data, false)}))) << "no checksum";
    EXPECT_FALSE(decodes(one_entry(5000, {frame_of(data, true, false)}))) << "no stated size";
    EXPECT_FALSE(decodes(one_entry(4999, {frame_of(data, true)}))) << "size one short";
    EXPECT_FALSE(decodes(one_entry(5000, {frame_of(data, true) + frame_of("", true)}))) << "two frames";
    std::string damaged = frame_of(data, true);
    damaged[damaged.size() - 1] ^= 1;  // the checksum itself
    EXPECT_FALSE(decodes(one_entry(5000, {damaged})));
}

TEST(CompressedArchive, SizesThatCannotHoldThePiecesAreTruncated) {
    // 2^40 decoded bytes need a million pieces, which 20 bytes cannot hold:
    // refused before any piece is read or memory reserved for it.
    bytes archive = one_entry(1ull << 40, {std::string(16, 'z')});
    payload_archive view = payload_archive_over(archive.data(), archive.size());
    ASSERT_TRUE(check_payload_header(view));
    u16 name[ENTRY_NAME_CAPACITY];
    ASSERT_EQ(read_entry_name(view, name), read_status::ok);
    uint64_t size = 0;
    EXPECT_EQ(read_entry_size(view, size), read_status::truncated);
    // A frame length past its entry's data is refused too.
    bytes long_frame = one_entry(10, {"ab"});
    long_frame[3 + 4 + 16] = 9;  // the first piece's length
    opened entry = open_entry(long_frame);
    uint64_t decoded_left = entry.size, data_left = entry.view.entry_data_size;
    payload_piece piece;
    EXPECT_EQ(read_entry_piece(entry.view, decoded_left, data_left, piece), read_status::truncated);
}

// The solid form's block size bounds what a reader holds per thread, and a
// block's frame may not pass the archive's end.
TEST(SolidArchive, BlockSizesOutOfBoundsAndCutBlocksAreRefused) {
    auto archive_of = [](uint32_t block_size, const std::string& frame) {
        bytes out = {0x4B, 0x41, 0x53};
        put_le(out, 'a', 2);
        put_le(out, 0, 2);
        put_le(out, 5, 8);
        put_le(out, 0, 2);
        put_le(out, block_size, 4);
        put_le(out, frame.size(), 4);
        out.insert(out.end(), frame.begin(), frame.end());
        return out;
    };
    auto opens = [](const bytes& archive, solid_stream& stream) {
        payload_archive view = payload_archive_over(archive.data(), archive.size());
        return check_payload_header(view) && view.solid && open_solid_stream(view, stream);
    };
    solid_stream stream;
    std::string frame = frame_of("hello", true);
    EXPECT_FALSE(opens(archive_of(0, frame), stream));
    EXPECT_FALSE(opens(archive_of(MAX_SOLID_BLOCK_SIZE + 1, frame), stream));
    bytes largest = archive_of(MAX_SOLID_BLOCK_SIZE, frame);
    ASSERT_TRUE(opens(largest, stream));
    payload_piece block;
    ASSERT_EQ(read_solid_block(stream, block), read_status::ok);
    EXPECT_EQ(block.decoded_size, 5u);
    EXPECT_EQ(read_solid_block(stream, block), read_status::truncated) << "no bytes left for a block";
    bytes cut = archive_of(1 << 20, frame);
    cut.pop_back();
    ASSERT_TRUE(opens(cut, stream));
    EXPECT_EQ(read_solid_block(stream, block), read_status::truncated);
}

}  // namespace
