// The archive reader over archives of the one writer: the layout byte for
// byte, records at odd offsets, and archives cut short at every offset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/archive_reader.h"
#include "format/archive_writer.h"
#include "format/little_endian.h"

namespace {

using bytes = std::vector<uint8_t>;

struct entry {
    std::u16string name;
    std::string data;
};

// The archive as the packer writes it, through its one writer.
bytes build_archive(const std::vector<entry>& entries) {
    std::vector<archive_input> inputs;
    for (const entry& e : entries) inputs.push_back({e.name, {}, e.data.size(), e.data});
    string_sink out;
    write_archive(inputs, {}, out);
    return bytes(out.bytes.begin(), out.bytes.end());
}

std::u16string as_string(const u16* name) {
    std::u16string text;
    for (; *name != 0; ++name) text.push_back(static_cast<char16_t>(*name));
    return text;
}

// Walks the whole archive as the parent does; the names and sizes it saw, or
// the status that stopped it.
struct walk_result {
    read_status last = read_status::ok;
    std::vector<entry> entries;
    size_t consumed = 0;
};

walk_result walk(const bytes& archive_bytes) {
    walk_result result;
    payload_archive archive = payload_archive_over(archive_bytes.data(), archive_bytes.size());
    if (!check_payload_header(archive)) {
        result.last = read_status::truncated;
        return result;
    }
    u16 name[ENTRY_NAME_CAPACITY];
    for (;;) {
        read_status status = read_entry_name(archive, name);
        if (status != read_status::ok) {
            result.last = status;
            break;
        }
        uint64_t size = 0;
        status = read_entry_size(archive, size);
        if (status != read_status::ok) {
            result.last = status;
            break;
        }
        entry e{as_string(name), std::string(reinterpret_cast<const char*>(archive.cursor), size)};
        archive.cursor += size;
        result.entries.push_back(e);
    }
    result.consumed = static_cast<size_t>(archive.cursor - archive.base);
    return result;
}

TEST(ArchiveLayout, MinimalArchiveMatchesTheDocumentedBytes) {
    bytes expected = {0x4B, 0x41, 0x58, 0x61, 0x00, 0x2E, 0x00, 0x74, 0x00, 0x78, 0x00,
                      0x74, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x61, 0x62, 0x63, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(build_archive({{u"a.txt", "abc"}}), expected);

    payload_archive archive = payload_archive_over(expected.data(), expected.size());
    ASSERT_TRUE(check_payload_header(archive));
    EXPECT_EQ(archive.cursor - archive.base, 3);
    u16 name[ENTRY_NAME_CAPACITY];
    ASSERT_EQ(read_entry_name(archive, name), read_status::ok);
    EXPECT_EQ(as_string(name), u"a.txt");
    EXPECT_EQ(archive.cursor - archive.base, 15);
    uint64_t size = 0;
    ASSERT_EQ(read_entry_size(archive, size), read_status::ok);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(archive.cursor - archive.base, 23);
    archive.cursor += size;
    EXPECT_EQ(read_entry_name(archive, name), read_status::end_marker);
    // The walk stops at the end marker and never reads the fill or trailer.
    EXPECT_EQ(archive.cursor - archive.base, 28);
}

TEST(ArchiveHeader, AcceptsOnlyTheExactThreeBytes) {
    for (bytes header : {bytes{0x4B, 0x41, 0x59}, bytes{0x6B, 0x61, 0x78}, bytes{0x4B, 0x41},
                         bytes{}, bytes{0x58, 0x41, 0x4B}}) {
        payload_archive archive = payload_archive_over(header.data(), header.size());
        EXPECT_FALSE(check_payload_header(archive));
        EXPECT_LE(archive.cursor, archive.end);
    }
    bytes good = {0x4B, 0x41, 0x58};
    payload_archive archive = payload_archive_over(good.data(), good.size());
    EXPECT_TRUE(check_payload_header(archive));
    EXPECT_EQ(archive.cursor, archive.end);
}

TEST(ArchiveRecords, OddOffsetsAndEmptyEntriesReadBack) {
    std::vector<entry> entries = {{u"main.dll", "MZ\x90"},     // odd: next record at an odd offset
                                  {u"empty", ""},              // size 0: next name right after
                                  {u"dir\\x.bin", std::string("\x00\x01\x02\xFF\x7F", 5)},
                                  {u"\xD800\xDC00\x00E9\xFFFF", "z"}};  // any unit but 0
    bytes archive = build_archive(entries);
    walk_result result = walk(archive);
    EXPECT_EQ(result.last, read_status::end_marker);
    ASSERT_EQ(result.entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(result.entries[i].name, entries[i].name) << i;
        EXPECT_EQ(result.entries[i].data, entries[i].data) << i;
    }
}

TEST(ArchiveRecords, WhateverFollowsTheEndMarkerIsNotRead) {
    bytes archive = build_archive({{u"a", "1"}});
    size_t end_marker_end = archive.size() - 8 - 6;  // fill of 6 here
    bytes bare(archive.begin(), archive.begin() + end_marker_end);
    walk_result full = walk(archive);
    walk_result cut = walk(bare);
    EXPECT_EQ(full.last, read_status::end_marker);
    EXPECT_EQ(cut.last, read_status::end_marker);
    EXPECT_EQ(full.consumed, cut.consumed);
}

TEST(ArchiveNames, LongestNameFitsAndOneMoreIsRefused) {
    std::u16string longest(MAX_ENTRY_NAME_UNITS, u'n');
    walk_result result = walk(build_archive({{longest, "x"}}));
    EXPECT_EQ(result.last, read_status::end_marker);
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].name, longest);

    bytes too_long = build_archive({{longest + u"n", "x"}});
    payload_archive archive = payload_archive_over(too_long.data(), too_long.size());
    ASSERT_TRUE(check_payload_header(archive));
    // Guard units after the buffer catch a write past its end.
    struct {
        u16 name[ENTRY_NAME_CAPACITY];
        u16 guard[4];
    } buffer;
    for (u16& unit : buffer.guard) unit = 0x5A5A;
    EXPECT_EQ(read_entry_name(archive, buffer.name), read_status::name_too_long);
    EXPECT_EQ(buffer.name[MAX_ENTRY_NAME_UNITS], 0);
    for (u16 unit : buffer.guard) EXPECT_EQ(unit, 0x5A5A);
}

TEST(ArchiveTruncation, EveryCutIsReportedAndNeverReadPast) {
    bytes whole = build_archive({{u"main.dll", "MZ!"}, {u"e", ""}, {u"d\\f", "hello"}});
    size_t end_marker_end = walk(whole).consumed;
    ASSERT_LT(end_marker_end, whole.size());
    for (size_t cut = 0; cut < end_marker_end; ++cut) {
        // A vector built from a range holds exactly `cut` bytes on the heap,
        // so AddressSanitizer flags any read past the end.
        bytes copy(whole.begin(), whole.begin() + cut);
        walk_result result = walk(copy);
        EXPECT_EQ(result.last, read_status::truncated) << "cut at " << cut;
        EXPECT_LE(result.consumed, cut);
    }
}

TEST(ArchiveTruncation, SizeRunningPastTheEndIsTruncated) {
    bytes archive = {0x4B, 0x41, 0x58, 'a', 0, 0, 0};
    put64(archive, 0xFFFFFFFFFFFFFFFFull);  // would wrap a naive pointer check
    archive.push_back('x');
    payload_archive view = payload_archive_over(archive.data(), archive.size());
    ASSERT_TRUE(check_payload_header(view));
    u16 name[ENTRY_NAME_CAPACITY];
    ASSERT_EQ(read_entry_name(view, name), read_status::ok);
    const uint8_t* before = view.cursor;
    uint64_t size = 7;
    EXPECT_EQ(read_entry_size(view, size), read_status::truncated);
    EXPECT_EQ(view.cursor, before);
    EXPECT_EQ(size, 7u);
}

}  // namespace
