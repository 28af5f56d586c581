// End-to-end: payloads of the compressed form (the pack matrix unpacks them
// whole). A payload damaged anywhere past its first name never runs and
// ends with one line and status 2.
#include <random>

#include "format/archive_format.h"
#include "format/archive_reader.h"
#include "payload/piece_decoder.h"
#include "tests/launcher/e2e_fixture.h"
#include "tests/launcher/payload_archives.h"

// Packs `damaged` with a cache run directory of its own: the start ends with
// the damage line for data\big.bin, before the application runs, and no
// cache is made.
class launcher_damaged_cache : public launcher_end_to_end {
protected:
    void expect_damage_never_cached(const std::string& damaged, const std::wstring& report) {
        std::wstring other = folder_ + L"\\caches\\other";
        pack_bytes(damaged);
        ASSERT_TRUE(set_run_directory_template(exe_, other, 8));
        DeleteFileW(report.c_str());
        EXPECT_EQ(run(L"report " + in_quotes(report)), 2u);
        EXPECT_EQ(last_error_, "Error, attached data is damaged: couldn't unpack 'data\\big.bin'.\r\n");
        EXPECT_FALSE(file_exists(report));
        EXPECT_FALSE(directory_exists(other)) << "a damaged payload became a cache";
    }
};

// Damage that zstd alone would let through: frames without a checksum, and
// a size field that does not match the pieces.
TEST_F(launcher_end_to_end, compressed_payload_that_does_not_add_up_never_runs) {
    std::string library = probe_library();
    std::string data = text_like(3 * PIECE_SIZE, 3);
    std::string unchecked = compressed_archive({{L"main.dll", library}, {L"data.bin", data}}, false);
    std::string archive = compressed_archive({{L"main.dll", library}, {L"data.bin", data}});
    // data.bin's size field, one byte less than its pieces decode to.
    size_t size_field = archive.find(std::string("d\0a\0t\0a\0.\0b\0i\0n\0\0\0", 18)) + 18;
    std::string short_size = archive;
    short_size[size_field] = static_cast<char>(short_size[size_field] - 1);
    for (const std::string& damaged : {unchecked, short_size}) {
        pack_bytes(damaged);
        std::wstring report = report_path(L"report.bin");
        EXPECT_EQ(run(L"report " + in_quotes(report)), 2u);
        EXPECT_EQ(last_output_, "");
        EXPECT_EQ(last_error_.rfind("Error, attached data is damaged: couldn't unpack '", 0), 0u) << last_error_;
        EXPECT_EQ(last_error_.find("\r\n"), last_error_.size() - 2) << last_error_;
        EXPECT_FALSE(file_exists(report));
    }
}

// Every damaged byte past the first entry's name is found: the launcher
// either ends with one line beginning "Error, " and status 2, or (for the
// fill and trailer, which it never reads) runs the application normally.
TEST_F(launcher_end_to_end, compressed_payload_damaged_at_random_offsets_never_runs_damaged) {
    std::string library = probe_library();
    std::string archive =
        compressed_archive({{L"main.dll", library}, {L"data\\big.bin", text_like(2 * PIECE_SIZE + 7, 4)}});
    const size_t first_name_end = 3 + 18;
    std::mt19937 random(23);
    for (int round = 0; round < 12; ++round) {
        size_t at = first_name_end + random() % (archive.size() - first_name_end);
        std::string damaged = archive;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
        pack_bytes(damaged);
        std::wstring report = report_path(L"report.bin");
        DeleteFileW(report.c_str());
        DWORD status = run(L"report " + in_quotes(report));
        bool after_end = at >= archive.size() - 8 - 7;  // fill and trailer, or the end marker's fill
        if (status == 0 && after_end) continue;
        EXPECT_EQ(status, 2u) << "damage at " << at;
        std::string line = last_output_ + last_error_;
        EXPECT_EQ(line.rfind("Error, ", 0), 0u) << "damage at " << at << ": " << line;
        EXPECT_EQ(line.find("\r\n"), line.size() - 2) << line;
        EXPECT_FALSE(file_exists(report)) << "damage at " << at;
    }
}

// A cache is verified by names and sizes read past the pieces, repaired
// when a file's size is wrong, and never recorded from a damaged payload.
TEST_F(launcher_damaged_cache, compressed_payload_fills_a_cache_and_damage_never_records_one) {
    std::string library = probe_library();
    std::string big = text_like(5 * PIECE_SIZE + 3, 5);
    std::string archive = compressed_archive({{L"main.dll", library}, {L"data\\big.bin", big}});
    std::wstring cache = folder_ + L"\\caches\\app";
    pack_bytes(archive);
    ASSERT_TRUE(set_run_directory_template(exe_, cache, 7));
    std::wstring report = report_path(L"report.bin");
    for (int start = 0; start < 3; ++start) {
        if (start == 2) {
            ASSERT_TRUE(write_file(cache + L"\\data\\big.bin", "cut short"));
        }
        DeleteFileW(report.c_str());
        EXPECT_EQ(run(L"report " + in_quotes(report)), 0u) << last_output_ << last_error_;
        EXPECT_EQ(read_report(report)[REPORT_MODULE], cache + L"\\main.dll");
        EXPECT_TRUE(read_file(cache + L"\\data\\big.bin") == big) << "start " << start;
    }
    EXPECT_TRUE(directory_names(temp_).empty()) << "a start ran from TEMP";

    std::string damaged = archive;
    damaged[damaged.size() - 100] ^= 0x10;  // inside big.bin's last piece
    expect_damage_never_cached(damaged, report);
}

// Two entries of one name, here differing in case. The compressed form
// makes every file new: the second is damage, never truncating the first
// while the workers still write its pieces. The stored form writes them in
// turn, as it always has: the last one stands whole.
TEST_F(launcher_end_to_end, an_entry_name_met_twice_is_damage_in_the_compressed_form) {
    std::string first = text_like(PIECE_THREADS_THRESHOLD + 777, 6), second = text_like(3 * PIECE_SIZE, 7);
    std::vector<archive_entry> entries = {
        {L"main.dll", probe_library()}, {L"data\\twice.bin", first}, {L"Data\\TWICE.bin", second}};
    std::wstring report = report_path(L"report.bin"), release = report_path(L"release");
    pack_bytes(compressed_archive(entries));
    EXPECT_EQ(run(L"report " + in_quotes(report)), 2u);
    EXPECT_EQ(last_error_, "Error, attached data is damaged: couldn't unpack 'Data\\TWICE.bin'.\r\n");
    EXPECT_FALSE(file_exists(report));

    pack(entries);
    DeleteFileW(report.c_str());
    launched_process process;
    start(process, L"report " + in_quotes(report) + L" await " + in_quotes(release));
    ASSERT_FALSE(wait_for_report(report, LAUNCHER_TIMEOUT_MS).empty());
    EXPECT_TRUE(read_file(run_directory_of(read_report(report)) + L"\\data\\twice.bin") == second);
    ASSERT_TRUE(write_file(release, ""));
    ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(process.exit_code(), 0u);
}

// The solid form: blocks that span files, decoded on as many threads as
// there are processors, fill a cache file for file; a damaged block ends
// the start, naming the first entry whose bytes it holds, before the
// application runs, and never becomes a cache.
TEST_F(launcher_damaged_cache, solid_payload_fills_a_cache_and_a_damaged_block_never_runs) {
    constexpr size_t BLOCK = 64 * 1024;
    std::vector<archive_entry> entries = {{L"main.dll", probe_library()},
                                          {L"a.txt", text_like(100, 8)},
                                          {L"empty.txt", ""},
                                          {L"data\\big.bin", text_like(5 * BLOCK + 3, 9)},
                                          {L"data\\z.txt", text_like(BLOCK / 2, 10)}};
    archive_options options;
    options.level = 1;
    options.solid = true;
    options.block_size = BLOCK;
    std::string archive = archive_bytes(entries, options);
    std::wstring cache = folder_ + L"\\caches\\app";
    pack_bytes(archive);
    ASSERT_TRUE(set_run_directory_template(exe_, cache, 7));
    std::wstring report = report_path(L"report.bin");
    EXPECT_EQ(run(L"report " + in_quotes(report)), 0u) << last_output_ << last_error_;
    for (const archive_entry& entry : entries)
        EXPECT_TRUE(read_file(cache + L"\\" + entry.name) == entry.data) << std::string(entry.name.begin(), entry.name.end());

    // A byte inside a block that begins within big.bin, two blocks into it.
    payload_archive view = payload_archive_over(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
    solid_stream stream;
    ASSERT_TRUE(check_payload_header(view) && open_solid_stream(view, stream));
    uint64_t inside_big = entries[0].data.size() + entries[1].data.size() + 2 * BLOCK;
    payload_piece block = {};
    for (uint64_t at = 0; at <= inside_big; at += block.decoded_size)
        ASSERT_EQ(read_solid_block(stream, block), read_status::ok);
    std::string damaged = archive;
    damaged[static_cast<size_t>(block.frame - view.base) + block.frame_size / 2] ^= 0x10;
    expect_damage_never_cached(damaged, report);
}
