// End-to-end: payloads of the compressed form. What the application finds
// in the run directory is what was packed, over many pieces decoded on
// worker threads; a payload damaged anywhere past its first name never runs
// and ends with one line and status 2.
#include <random>

#include "payload/archive_format.h"
#include "tests/launcher/compressed_payload.h"
#include "tests/launcher/e2e_fixture.h"

TEST_F(launcher_end_to_end, compressed_payload_unpacks_every_entry_whole) {
    std::string library = probe_library();
    // Nine pieces, one of them short, and one empty file: the workers decode
    // ahead of the writer across entries.
    std::string big = text_like(8 * PIECE_SIZE + 12345, 1);
    std::string small = text_like(1000, 2);
    pack_bytes(compressed_archive({{L"main.dll", library}, {L"data\\big.bin", big},
                                   {L"data\\empty.txt", ""}, {L"small.txt", small}}));
    std::wstring report = report_path(L"report.bin");
    std::wstring release = report_path(L"release");
    launched_process process;
    start(process, L"report " + in_quotes(report) + L" await " + in_quotes(release));
    ASSERT_FALSE(wait_for_report(report, 30000).empty());
    std::wstring run_directory = run_directory_of(read_report(report));
    EXPECT_EQ(read_file(run_directory + L"\\main.dll"), library);
    EXPECT_TRUE(read_file(run_directory + L"\\data\\big.bin") == big);
    EXPECT_TRUE(file_exists(run_directory + L"\\data\\empty.txt"));
    EXPECT_EQ(read_file(run_directory + L"\\data\\empty.txt"), "");
    EXPECT_EQ(read_file(run_directory + L"\\small.txt"), small);
    ASSERT_TRUE(write_file(release, ""));
    ASSERT_TRUE(process.wait(LAUNCHER_TIMEOUT_MS));
    EXPECT_EQ(process.exit_code(), 0u) << process.standard_output() << process.standard_error();
    EXPECT_TRUE(directory_names(temp_).empty());
}

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
TEST_F(launcher_end_to_end, compressed_payload_fills_a_cache_and_damage_never_records_one) {
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
    std::wstring other = folder_ + L"\\caches\\other";
    pack_bytes(damaged);
    ASSERT_TRUE(set_run_directory_template(exe_, other, 8));
    DeleteFileW(report.c_str());
    EXPECT_EQ(run(L"report " + in_quotes(report)), 2u);
    EXPECT_EQ(last_error_, "Error, attached data is damaged: couldn't unpack 'data\\big.bin'.\r\n");
    EXPECT_FALSE(file_exists(report));
    EXPECT_FALSE(directory_exists(other)) << "a damaged payload became a cache";
}
