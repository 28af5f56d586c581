// The archive's one writer: the stored form byte for byte what the packer
// has always written, and the compressed and solid forms read back whole by
// the launcher's reader, whether the bytes came from files or from memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/archive_reader.h"
#include "format/archive_writer.h"
#include "format/little_endian.h"
#include "format/piece_decoding.h"

namespace {

namespace fs = std::filesystem;

std::string x_bin() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes + '\0';
}

// The tree of stored_archive.kax, which onefile-pack 1.1.0's `archive`
// wrote, in its archive order: .onefile-run comes from memory here, as
// `pack --run` gives it, the others from files.
std::vector<archive_input> fixed_tree(const fs::path& folder) {
    const std::vector<std::pair<std::u16string, std::string>> files = {
        {u"main.dll", std::string("MZ\x90\0\3", 5)},
        {u".onefile-run", "tool.exe"},
        {u"clef \U0001D11E.txt", "non-ASCII name\n"},
        {u"empty.txt", ""},
        {u"\u00DCn\u00EFcode \u2605.txt", "x"},
        {u"data\\table.csv", "name,size\nmain.dll,5\n"},
        {u"data\\deep\\x.bin", x_bin()},
    };
    std::vector<archive_input> entries;
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& [name, bytes] = files[i];
        if (name == u".onefile-run") {
            entries.push_back({name, {}, bytes.size(), bytes});
            continue;
        }
        fs::path source = folder / ("file" + std::to_string(i));
        std::ofstream(source, std::ios::binary) << bytes;
        entries.push_back({name, source, bytes.size()});
    }
    return entries;
}

class ArchiveWriter : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("archive_writer_test_" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

TEST_F(ArchiveWriter, StoredFormIsByteForByteWhatThePackerWrote) {
    std::ifstream golden(STORED_ARCHIVE, std::ios::binary);
    std::string expected((std::istreambuf_iterator<char>(golden)), std::istreambuf_iterator<char>());
    ASSERT_EQ(expected.size(), 560u);
    std::vector<archive_input> entries = fixed_tree(folder_);
    string_sink out;
    out.bytes = "before";  // the trailer counts from the archive's own start
    write_archive(entries, {}, out);
    EXPECT_EQ(out.bytes.substr(6), expected);
    EXPECT_EQ(stored_archive_size(entries), expected.size());
}

TEST_F(ArchiveWriter, CompressedFormReadsBackFromFilesAndMemory) {
    std::vector<archive_input> entries = fixed_tree(folder_);
    std::string big(2 * PIECE_SIZE + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) ^ (i >> 11));
    entries.push_back({u"big.bin", {}, big.size(), big});
    string_sink out;
    archive_options options;
    options.level = 1;
    write_archive(entries, options, out);

    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out.bytes.data());
    ASSERT_EQ(out.bytes.size() % TRAILER_ALIGNMENT, 0u);
    EXPECT_EQ(load_le64(bytes + out.bytes.size() - TRAILER_SIZE), out.bytes.size() - TRAILER_SIZE);
    payload_archive archive = payload_archive_over(bytes, out.bytes.size());
    ASSERT_TRUE(check_payload_header(archive));
    ASSERT_TRUE(archive.compressed);
    piece_context* context = new_piece_context();
    std::vector<uint8_t> piece_bytes(PIECE_SIZE);
    u16 name[ENTRY_NAME_CAPACITY];
    for (const archive_input& entry : entries) {
        ASSERT_EQ(read_entry_name(archive, name), read_status::ok);
        EXPECT_EQ(std::u16string(name, name + u16_length(name)), entry.name);
        uint64_t size = 0;
        ASSERT_EQ(read_entry_size(archive, size), read_status::ok);
        uint64_t decoded_left = size, data_left = archive.entry_data_size;
        std::string decoded;
        payload_piece piece;
        while (decoded_left > 0) {
            ASSERT_EQ(read_entry_piece(archive, decoded_left, data_left, piece), read_status::ok);
            ASSERT_TRUE(decode_piece(context, piece, piece_bytes.data()));
            decoded.append(reinterpret_cast<const char*>(piece_bytes.data()), piece.decoded_size);
        }
        EXPECT_EQ(data_left, 0u);
        std::ifstream file(entry.source, std::ios::binary);
        std::string expected = entry.source.empty() ? entry.data
                                                    : std::string((std::istreambuf_iterator<char>(file)),
                                                                  std::istreambuf_iterator<char>());
        EXPECT_TRUE(decoded == expected) << "entry " << std::string(entry.name.begin(), entry.name.end());
    }
    EXPECT_EQ(read_entry_name(archive, name), read_status::end_marker);
    free_piece_context(context);
}

// The solid form with small blocks: files that span blocks, blocks that
// span files, an empty file; every block decodes on its own, and the blocks
// decoded one after the other are the files' bytes in archive order.
TEST_F(ArchiveWriter, SolidFormBlocksSpanFilesAndDecodeEachOnTheirOwn) {
    std::vector<archive_input> entries = fixed_tree(folder_);
    std::string big(3 * 1000 + 11, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) ^ (i >> 5));
    entries.push_back({u"big.bin", {}, big.size(), big});
    string_sink out;
    archive_options options;
    options.level = SOLID_LEVEL;
    options.solid = true;
    options.block_size = 1000;
    write_archive(entries, options, out);

    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out.bytes.data());
    ASSERT_EQ(out.bytes.size() % TRAILER_ALIGNMENT, 0u);
    EXPECT_EQ(load_le64(bytes + out.bytes.size() - TRAILER_SIZE), out.bytes.size() - TRAILER_SIZE);
    payload_archive archive = payload_archive_over(bytes, out.bytes.size());
    ASSERT_TRUE(check_payload_header(archive));
    ASSERT_TRUE(archive.solid && !archive.compressed);
    std::string expected;
    for (const archive_input& entry : entries) {
        std::ifstream file(entry.source, std::ios::binary);
        expected += entry.source.empty() ? entry.data
                                         : std::string((std::istreambuf_iterator<char>(file)),
                                                       std::istreambuf_iterator<char>());
    }
    solid_stream stream;
    ASSERT_TRUE(open_solid_stream(archive, stream));
    EXPECT_EQ(stream.total, expected.size());
    EXPECT_EQ(stream.block_size, 1000u);
    // Decoded last block first: none leans on another. Each one's bytes are
    // handed out as they are decoded, up to the whole block.
    std::vector<payload_piece> blocks;
    for (payload_piece block; stream.decoded_left > 0; blocks.push_back(block))
        ASSERT_EQ(read_solid_block(stream, block), read_status::ok);
    ASSERT_EQ(blocks.size(), (expected.size() + 999) / 1000);
    piece_context* context = new_piece_context();
    std::vector<uint8_t> block_bytes(1000);
    for (size_t i = blocks.size(); i-- > 0;) {
        size_t ready = 0;
        auto note = [](void* state, size_t count) {
            *static_cast<size_t*>(state) = count;
            return true;
        };
        ASSERT_TRUE(decode_block(context, blocks[i], block_bytes.data(), note, &ready));
        EXPECT_EQ(ready, blocks[i].decoded_size);
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(block_bytes.data()), blocks[i].decoded_size) ==
                    expected.substr(i * 1000, 1000)) << "block " << i;
    }
    free_piece_context(context);
    // The records walk as the stored form's do, to the end marker: what the
    // child and a cache's check read.
    u16 name[ENTRY_NAME_CAPACITY];
    for (const archive_input& entry : entries) {
        uint64_t size = 0;
        ASSERT_EQ(read_entry_name(archive, name), read_status::ok);
        ASSERT_EQ(read_entry_size(archive, size), read_status::ok);
        EXPECT_EQ(size, entry.size);
        skip_entry_data(archive);
    }
    EXPECT_EQ(read_entry_name(archive, name), read_status::end_marker);
}

}  // namespace
