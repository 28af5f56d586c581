// onefile-pack end to end: pack, list, extract and compare trees; bad inputs
// leave no output; the packed image parsed back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "names.h"
#include "pe_image.h"
#include "tests/tools/packer_run.h"

namespace {

namespace fs = std::filesystem;
using pack::resource_leaf;

using packer_test::quoted;
using packer_test::read_file;
using packer_test::write_file;

struct run_result {
    int status;
    std::string out;
};

// Runs the packer with `args`: standard output, a '|', then standard error.
run_result run_pack(const std::string& args) {
    packer_test::packer_run run = packer_test::run_packer(args);
    return {run.status, run.out + "|" + run.err};
}

class OnefilePack : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("onefile_pack_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        app = root / "app";
        fs::create_directories(app);
        write_file(app / "main.dll", "MZ application library");
        write_file(app / "b.txt", "b");
        write_file(app / "A.txt", "upper A sorts before b");
        write_file(app / "empty", "");
        write_file(app / "\xC3\xA4.txt", "umlaut");  // a-umlaut, after ASCII names
        write_file(app / "lib" / "x.pyd", std::string(70000, 'x'));
        write_file(app / "lib" / "sub" / "deep" / "deeper" / "f", "deep");
        write_file(app / "lib" / "sub" / "g", "g");
        write_file(app / "data" / "\xE6\x97\xA5\xE6\x9C\xAC.bin", std::string("\0\1\2", 3));
        fs::create_directories(app / "empty_dir");
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path stub(const char* name = "stub4096.exe") const { return fs::path(ONEFILE_TEST_STUBS) / name; }
    run_result pack_to(const fs::path& out, const std::string& extra = "") {
        return run_pack("pack " + quoted(app) + " -o " + quoted(out) + " --stub " + quoted(stub()) + " --no-check " + extra);
    }

    fs::path root, app;
};

std::map<std::string, std::string> tree_of(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), directory).string()] = read_file(entry.path());
    }
    return files;
}

TEST_F(OnefilePack, PackListExtractRoundTrip) {
    fs::path out = root / "out.exe";
    run_result packed = pack_to(out);
    ASSERT_EQ(packed.status, 0) << packed.out;

    run_result listed = run_pack("list " + quoted(out));
    ASSERT_EQ(listed.status, 0) << listed.out;
    // main first; top-level files by UTF-16 units; then each directory's
    // own files before its subdirectories, directories in the same order.
    EXPECT_EQ(listed.out,
              "22\tmain.dll\n22\tA.txt\n1\tb.txt\n0\tempty\n6\t\xC3\xA4.txt\n"
              "3\tdata\\\xE6\x97\xA5\xE6\x9C\xAC.bin\n70000\tlib\\x.pyd\n1\tlib\\sub\\g\n"
              "4\tlib\\sub\\deep\\deeper\\f\n9 entries, 70059 bytes\n|");

    fs::path extracted = root / "extracted";
    ASSERT_EQ(run_pack("extract " + quoted(out) + " " + quoted(extracted)).status, 0);
    EXPECT_EQ(tree_of(extracted), tree_of(app));

    // A second extract writes over nothing the user has, unless told to.
    write_file(extracted / "lib" / "sub" / "g", "the user's");
    fs::remove(extracted / "b.txt");
    run_result again = run_pack("extract " + quoted(out) + " " + quoted(extracted));
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.out.find("|onefile-pack: error: " + (extracted / "main.dll").string() +
                             " exists; extract writes over a file only with --force\n"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\nonefile-pack: error: 3 more files exist below "), std::string::npos) << again.out;
    EXPECT_FALSE(fs::exists(extracted / "b.txt")) << "nothing is written when anything is refused";
    EXPECT_EQ(read_file(extracted / "lib" / "sub" / "g"), "the user's");
    ASSERT_EQ(run_pack("extract " + quoted(out) + " " + quoted(extracted) + " --force").status, 0);
    EXPECT_EQ(tree_of(extracted), tree_of(app));

    // Not even --force writes through a link to a folder outside.
    fs::path outside = root / "outside";
    write_file(outside / "sub" / "g", "outside");
    fs::remove_all(extracted / "lib");
    fs::remove(extracted / "b.txt");
    fs::create_directory_symlink(outside, extracted / "lib");
    run_result linked = run_pack("extract " + quoted(out) + " " + quoted(extracted) + " --force");
    EXPECT_EQ(linked.status, 2);
    EXPECT_NE(linked.out.find((extracted / "lib").string() + " is a link or not a folder"), std::string::npos)
        << linked.out;
    EXPECT_EQ(tree_of(outside).size(), 1u) << "nothing is written outside";
    EXPECT_EQ(read_file(outside / "sub" / "g"), "outside");
    EXPECT_FALSE(fs::exists(extracted / "b.txt"));
}

TEST_F(OnefilePack, OutputIsReproducibleAndMatchesTheBareArchive) {
    ASSERT_EQ(pack_to(root / "one.exe").status, 0);
    // Different modification times and a different directory listing order
    // must not change a byte.
    fs::last_write_time(app / "b.txt", fs::file_time_type::clock::now() - std::chrono::hours(5));
    ASSERT_EQ(pack_to(root / "two.exe").status, 0);
    std::string one = read_file(root / "one.exe");
    EXPECT_EQ(one, read_file(root / "two.exe"));

    ASSERT_EQ(run_pack("archive " + quoted(app) + " -o " + quoted(root / "bare.kax")).status, 0);
    std::string bare = read_file(root / "bare.kax");
    std::ifstream image(root / "one.exe", std::ios::binary);
    pack::payload_location where = pack::locate_payload(image, one.size());
    EXPECT_EQ(one.substr(where.offset, where.size), bare);
}

uint32_t u32_at(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
           static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// The PE checksum as the system computes it, with its own field as zero.
uint32_t reference_checksum(std::string image, size_t field) {
    for (int i = 0; i < 4; ++i) image[field + i] = 0;
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < image.size(); i += 2) {
        sum += static_cast<uint8_t>(image[i]) | static_cast<uint8_t>(image[i + 1]) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(image.size());
}

void expect_valid_image(const fs::path& stub_path, const fs::path& packed_path) {
    std::string packed = read_file(packed_path);
    std::string stub_bytes = read_file(stub_path);
    std::vector<uint8_t> stub(stub_bytes.begin(), stub_bytes.end());
    std::vector<uint8_t> image(packed.begin(), packed.end());

    std::vector<resource_leaf> before = pack::read_resources(stub);
    std::vector<resource_leaf> after = pack::read_resources(image);
    ASSERT_EQ(after.size(), before.size() + 1);
    const resource_leaf* payload = nullptr;
    for (const resource_leaf& leaf : after) {
        if (!leaf.type.named && leaf.type.id == 10 && !leaf.name.named && leaf.name.id == 27) payload = &leaf;
    }
    ASSERT_NE(payload, nullptr);
    EXPECT_FALSE(payload->language.named);
    EXPECT_EQ(payload->language.id, 0);
    EXPECT_EQ(payload->code_page, 1252u);

    // Every resource of the stub is still there with its bytes, keys and code page.
    std::ifstream stub_in(stub_path, std::ios::binary), image_in(packed_path, std::ios::binary);
    for (const resource_leaf& old_leaf : before) {
        bool found = false;
        for (const resource_leaf& leaf : after) {
            if (leaf.type == old_leaf.type && leaf.name == old_leaf.name && leaf.language == old_leaf.language) {
                found = true;
                EXPECT_EQ(leaf.size, old_leaf.size);
                EXPECT_EQ(leaf.code_page, old_leaf.code_page);
            }
        }
        EXPECT_TRUE(found) << "type " << old_leaf.type.id << " id " << old_leaf.name.id;
    }

    // Headers: the new last section is page aligned in the file and ends it,
    // and SizeOfImage and the checksum agree with the file.
    uint32_t pe = u32_at(packed, 0x3C);
    uint16_t sections = static_cast<uint16_t>(u32_at(packed, pe + 6) & 0xFFFF);
    uint16_t optional_size = static_cast<uint16_t>(u32_at(packed, pe + 20) & 0xFFFF);
    size_t opt = pe + 24, last = opt + optional_size + 40 * (sections - 1);
    uint32_t virtual_size = u32_at(packed, last + 8), rva = u32_at(packed, last + 12);
    uint32_t raw_size = u32_at(packed, last + 16), raw_offset = u32_at(packed, last + 20);
    EXPECT_EQ(packed.substr(last, 6), std::string(".rsrc\0", 6));
    EXPECT_EQ(raw_offset % 4096, 0u);
    EXPECT_EQ(static_cast<uint64_t>(raw_offset) + raw_size, packed.size());
    EXPECT_EQ(u32_at(packed, opt + 112 + 16), rva);
    EXPECT_EQ(u32_at(packed, opt + 112 + 20), virtual_size);
    EXPECT_EQ(u32_at(packed, opt + 56), (rva + virtual_size + 4095) / 4096 * 4096);
    EXPECT_EQ(u32_at(packed, opt + 64), reference_checksum(packed, opt + 64));
}

TEST_F(OnefilePack, PackedImageKeepsStubResourcesAndAddsThePayload) {
    for (const char* name : {"stub4096.exe", "stub512.exe"}) {
        fs::path out = root / (std::string("packed_") + name);
        ASSERT_EQ(run_pack("pack " + quoted(app) + " -o " + quoted(out) + " --stub " + quoted(stub(name)) + " --no-check").status, 0);
        SCOPED_TRACE(name);
        expect_valid_image(stub(name), out);
    }
}

// Nothing may trail the last section, or Authenticode's hash of a signed
// image would not cover it.
TEST_F(OnefilePack, PackedImageCanBeSignedAndVerified) {
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing";
    ASSERT_EQ(pack_to(root / "out.exe").status, 0);
    std::string r = quoted(root);
    std::string script =
        "cd " + r + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 2"
        " -subj /CN=onefile-test >/dev/null 2>&1"
        " && osslsigncode sign -certs c.pem -key k.pem -in out.exe -out signed.exe >/dev/null 2>&1"
        " && osslsigncode verify -in signed.exe -CAfile c.pem >/dev/null 2>&1";
    EXPECT_EQ(std::system(script.c_str()), 0);
}

TEST_F(OnefilePack, MainNameChoosesTheFirstEntry) {
    write_file(app / "app.dll", "other");
    ASSERT_EQ(pack_to(root / "out.exe", "--main app.dll").status, 0);
    std::string listed = run_pack("list " + quoted(root / "out.exe")).out;
    EXPECT_EQ(listed.substr(0, listed.find('\n')), "5\tapp.dll");
}

// Each bad input: a one-line error, a non-zero status, nothing at OUT and no
// temporary left beside it, and an older OUT kept as it was.
class BadInput : public OnefilePack {
protected:
    // Every refusal has status 2 and one line a problem (`lines`).
    void expect_refused(const std::string& expected_text, const std::string& extra = "", long lines = 1) {
        fs::path out = root / "out.exe";
        write_file(out, "previous");
        run_result result = pack_to(out, extra);
        EXPECT_EQ(result.status, 2) << result.out;
        EXPECT_NE(result.out.find(expected_text), std::string::npos) << result.out;
        size_t bar = result.out.find('|');
        EXPECT_EQ(std::count(result.out.begin() + bar, result.out.end(), '\n'), lines) << result.out;
        EXPECT_EQ(read_file(out), "previous");
        fs::remove(out);
        EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1)
            << "something left beside OUT";
    }
};

TEST_F(BadInput, MissingApplicationDirectoryOrMain) {
    fs::path saved = app;
    app = root / "nothing";
    expect_refused("application directory not found");
    app = saved;
    expect_refused("main entry nothing.dll not found", "--main nothing.dll");
    expect_refused("main entry must be a file name at the top level", "--main 'lib/x.pyd'");
}

TEST_F(BadInput, OverlongName) {
    std::string component(250, 'n');
    fs::path deep = app / component / component / component / component;
    write_file(deep / "f", "x");  // 4 * 251 + 1 = 1005 units: fits
    fs::path out = root / "ok.exe";
    ASSERT_EQ(pack_to(out).status, 0);
    fs::remove(out);
    write_file(deep / std::string(19, 'f'), "x");  // 1004 + 19 = 1023 units: fits
    ASSERT_EQ(pack_to(out).status, 0);
    fs::remove(out);
    write_file(deep / std::string(20, 'f'), "x");  // 1024 units
    expect_refused("name longer than 1023 UTF-16 units");
}

// Every clash in one run, not one per run.
TEST_F(BadInput, NamesEqualIgnoringCase) {
    write_file(app / "lib" / "X.PYD", "x");
    write_file(app / "\xC3\x84.TXT", "x");  // A-umlaut against a-umlaut
    write_file(app / "LIB", "file where a directory is");
    expect_refused("names differ only in case: lib\\X.PYD and lib\\x.pyd", "", 3);
    expect_refused("names differ only in case: \xC3\x84.TXT and \xC3\xA4.txt", "", 3);
    expect_refused("file and directory names differ only in case: LIB", "", 3);
}

TEST_F(BadInput, NamesWindowsCannotCreate) {
    for (const char* name : {"con", "NUL.txt", "com1", "Lpt9.log", "aux .x", "trailing.", "trailing ",
                             "a:b", "q?", "st*r", "pi|pe", "lt<", "quote\"", "back\\slash", "ctl\x01"}) {
        write_file(app / "lib" / name, "x");
        SCOPED_TRACE(name);
        expect_refused(": ");
        fs::remove(app / "lib" / name);
    }
    write_file(app / "lib" / "con" / "f", "x");  // as a directory too
    expect_refused("reserved Windows device name");
}

// Every file the tree cannot carry in one run, each named with why.
TEST_F(BadInput, UnreadableFileAndSpecialFiles) {
    if (geteuid() != 0) {
        write_file(app / "secret", "x");
        fs::permissions(app / "secret", fs::perms::none);
        expect_refused("cannot read");
        fs::permissions(app / "secret", fs::perms::owner_all);
        fs::remove(app / "secret");
    }
    ASSERT_EQ(mkfifo((app / "fifo").c_str(), 0600), 0);
    fs::create_directory_symlink(app / "lib", app / "link_to_dir");
    fs::create_directory_symlink(app / "data", app / "lib" / "sub" / "link_to_data");
    fs::create_symlink(app / "gone", app / "dangling");
    expect_refused("not a regular file or directory: " + (app / "fifo").string(), "", 4);
    expect_refused("symbolic link to a directory is not packed: " + (app / "link_to_dir").string(), "", 4);
    expect_refused("symbolic link to a directory is not packed: " + (app / "lib" / "sub" / "link_to_data").string(), "", 4);
    expect_refused("symbolic link points nowhere: " + (app / "dangling").string(), "", 4);
}

// Where OUT cannot be made: its name and why, status 2.
TEST_F(BadInput, OutputInAFolderThatDoesNotExist) {
    run_result result = pack_to("/no/such/dir/X.exe");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "|onefile-pack: error: cannot write /no/such/dir/X.exe: no folder /no/such/dir\n");
}

TEST_F(OnefilePack, SymbolicLinkToAFileIsStoredAsTheFile) {
    fs::create_symlink(app / "b.txt", app / "c.txt");
    ASSERT_EQ(pack_to(root / "out.exe").status, 0);
    ASSERT_EQ(run_pack("extract " + quoted(root / "out.exe") + " " + quoted(root / "x")).status, 0);
    EXPECT_EQ(read_file(root / "x" / "c.txt"), "b");
    EXPECT_FALSE(fs::is_symlink(root / "x" / "c.txt"));
}

TEST_F(BadInput, StubThatIsNotPe32Plus) {
    write_file(root / "stub.txt", "MZ but nothing else");
    fs::path out = root / "out.exe";
    run_result result = run_pack("pack " + quoted(app) + " -o " + quoted(out) + " --stub " + quoted(root / "stub.txt") + " --no-check");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find("stub " + (root / "stub.txt").string() + ": not a 64-bit Windows image (PE32+)"),
              std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(out));

    // A 32-bit image: same stub with the optional header's magic changed.
    std::string image = read_file(stub());
    uint32_t pe = u32_at(image, 0x3C);
    image[pe + 24] = 0x0B;
    image[pe + 25] = 0x01;
    write_file(root / "stub32.exe", image);
    result = run_pack("pack " + quoted(app) + " -o " + quoted(out) + " --stub " + quoted(root / "stub32.exe") + " --no-check");
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.out.find("not PE32+"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(BadInput, ImageTooLargeForTheLoader) {
    // A sparse file just large enough to pass the limit; nothing is written
    // because the size is checked before the output is created.
    std::ofstream(app / "huge.bin").close();
    fs::resize_file(app / "huge.bin", pack::MAX_IMAGE_SIZE - 0x1000);  // the stub's sections push it over
    expect_refused("the loader maps at most");
    fs::resize_file(app / "huge.bin", pack::MAX_IMAGE_SIZE);  // the payload alone passes 32 bits
    expect_refused("the loader maps at most");
}

TEST_F(OnefilePack, ListAndExtractRefuseDamagedPayloads) {
    ASSERT_EQ(run_pack("archive " + quoted(app) + " -o " + quoted(root / "bare.kax")).status, 0);
    std::string bare = read_file(root / "bare.kax");
    write_file(root / "cut.kax", bare.substr(0, 40));
    run_result result = run_pack("list " + quoted(root / "cut.kax"));
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find((root / "cut.kax").string() + ": payload is damaged"), std::string::npos) << result.out;

    // A name that would climb out of the target directory.
    std::string evil = "KAX";
    for (char c : std::string("..\\x")) evil += std::string{c, '\0'};
    evil += std::string("\0\0\1\0\0\0\0\0\0\0z\0\0", 13);
    write_file(root / "evil.kax", evil);
    result = run_pack("extract " + quoted(root / "evil.kax") + " " + quoted(root / "target"));
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.out.find("unsafe name"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(root / "x"));
}

// The top-level usage names every option a command's help describes.
TEST(OnefilePackUsage, HelpForEachCommand) {
    std::string usage = run_pack("--help").out;
    for (const char* command : {"pack", "brand", "archive", "list", "extract", "info"}) {
        run_result result = run_pack(std::string(command) + " --help");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(std::string("usage: onefile-pack ") + command, 0), 0u) << result.out;
        std::istringstream words(result.out);
        for (std::string word; words >> word;) {
            size_t start = word.find("--");
            if (start == std::string::npos || word == "--help") continue;
            size_t end = word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", start + 2);
            std::string option = word.substr(start, end == std::string::npos ? end : end - start);
            EXPECT_NE(usage.find(option), std::string::npos) << option << " of " << command << " in:\n" << usage;
        }
    }
    EXPECT_EQ(run_pack("frobnicate").status, 2);
}

// --- branding ----------------------------------------------------------------

// Each resource's keys, code page and bytes, read back from an image.
std::map<std::string, std::pair<uint32_t, std::string>> resources_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes = read_file(path);
    std::map<std::string, std::pair<uint32_t, std::string>> out;
    for (const auto& [leaf, offset] : pack::summarise_image(in, bytes.size()).resources) {
        std::string key = std::to_string(leaf.type.id) + "/" + pack::to_utf8(leaf.name.name) +
                          std::to_string(leaf.name.id) + "/" + std::to_string(leaf.language.id);
        out[key] = {leaf.code_page, bytes.substr(offset, leaf.size)};
    }
    return out;
}

uint16_t section_count(const std::string& image) {
    return static_cast<uint16_t>(u32_at(image, u32_at(image, 0x3C) + 6) & 0xFFFF);
}

// Without branding options every resource keeps its bytes; `brand` writes
// a stub that `pack` then fills in the same resource section slot, leaving
// no dead copy of the old tree; ld's obsolete header bits are cleared.
TEST_F(OnefilePack, UnbrandedResourcesStayAndBrandedStubsRepackInPlace) {
    ASSERT_EQ(pack_to(root / "plain.exe").status, 0);
    auto plain = resources_of(root / "plain.exe");
    plain.erase("10/27/0");
    EXPECT_EQ(plain, resources_of(stub()));

    write_file(root / "one.ico", read_file(ONEFILE_SOURCE_ICON));
    fs::path branded = root / "branded.exe";
    run_result made = run_pack("brand " + quoted(stub()) + " -o " + quoted(branded) + " --icon " +
                               quoted(root / "one.ico") + " --description 'A test stub'");
    ASSERT_EQ(made.status, 0) << made.out;
    auto resources = resources_of(branded);
    EXPECT_EQ(resources.count("10/2/0"), 1u) << "the stub's other resources stay";
    EXPECT_EQ(resources.count("3/6/0"), 1u) << "six icons";
    EXPECT_EQ(resources["14/1/0"].first, 1252u);

    fs::path packed = root / "packed.exe";
    ASSERT_EQ(run_pack("pack " + quoted(app) + " -o " + quoted(packed) + " --stub " + quoted(branded) + " --no-check")
                  .status, 0);
    SCOPED_TRACE("packed from the branded stub");
    expect_valid_image(branded, packed);
    std::string stub_image = read_file(branded), image = read_file(packed), plain_image = read_file(root / "plain.exe");
    EXPECT_EQ(section_count(image), section_count(stub_image)) << "a new section instead of the old slot";
    for (const std::string* bytes : {&stub_image, &image, &plain_image})
        // Executable, large-address aware; ld's obsolete line-number and
        // local-symbol bits gone (these stubs keep "debug stripped", 0x0200).
        EXPECT_EQ(u32_at(*bytes, u32_at(*bytes, 0x3C) + 22) & 0x002E, 0x0022u);
}

// Bad branding input: one line naming the option, status 2, OUT as it was.
TEST_F(BadInput, BrandingOptions) {
    write_file(root / "empty.ico", std::string("\0\0\1\0\0\0", 6));
    write_file(root / "bad.manifest", "<assembly><open></assembly>");
    const std::pair<std::string, std::string> cases[] = {
        {"--icon: cannot read", "--icon " + quoted(root / "none.ico")},
        {"--icon: " + (root / "empty.ico").string() + ": icon file holds no image", "--icon " + quoted(root / "empty.ico")},
        {"--version: '1.2.3.4.5' is not 1 to 4", "--version 1.2.3.4.5"},
        {"--version: '1.65536' is not", "--version 1.65536"},
        {"--version: '1..2' is not", "--version 1..2"},
        {"--description: longer than 255", "--description " + std::string(256, 'd')},
        {"--company: must not be empty", "--company ''"},
        {"--manifest: " + (root / "bad.manifest").string() + " is not well-formed XML: line 1", "--manifest " + quoted(root / "bad.manifest")},
        // The test stubs carry no branding record.
        {"--product: the stub has no branding record", "--product Widget"},
    };
    for (const auto& [why, option] : cases) {
        fs::path out = root / "out.exe";
        write_file(out, "previous");
        run_result result = pack_to(out, option);
        SCOPED_TRACE(option.substr(0, 40));
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.out.find(why), std::string::npos) << result.out;
        EXPECT_EQ(std::count(result.out.begin() + result.out.find('|'), result.out.end(), '\n'), 1) << result.out;
        EXPECT_EQ(read_file(out), "previous");
        EXPECT_FALSE(fs::exists(root / "out.exe.partial"));
    }
}

}  // namespace

// The compressed form: the same entries in the same order, the sizes and
// ratio in the summary, reproducible whatever the threads did, and a piece
// or block damaged anywhere refused by extract; the same for --compress=max.
TEST_F(OnefilePack, CompressedPayloadRoundTripsAndDamageIsRefused) {
    write_file(app / "lib" / "big.bin", std::string(3 * 1048576 + 5, 'z'));
    ASSERT_EQ(pack_to(root / "stored.exe").status, 0);
    run_result packed = pack_to(root / "one.exe", "--compress");
    ASSERT_EQ(packed.status, 0) << packed.out;
    ASSERT_EQ(pack_to(root / "two.exe", "--compress=3").status, 0);
    EXPECT_EQ(read_file(root / "one.exe"), read_file(root / "two.exe"));

    std::string stored_list = run_pack("list " + quoted(root / "stored.exe")).out;
    run_result listed = run_pack("list " + quoted(root / "one.exe"));
    ASSERT_EQ(listed.status, 0) << listed.out;
    std::string summary = "10 entries, 3215792 bytes";
    ASSERT_NE(stored_list.find(summary + "\n|"), std::string::npos) << stored_list;
    EXPECT_EQ(listed.out.substr(0, stored_list.size() - 2), stored_list.substr(0, stored_list.size() - 2));
    EXPECT_NE(listed.out.find(summary + ", compressed to "), std::string::npos) << listed.out;
    EXPECT_NE(run_pack("info " + quoted(root / "one.exe")).out.find(", zstd, compressed to "), std::string::npos);

    fs::path extracted = root / "extracted";
    ASSERT_EQ(run_pack("extract " + quoted(root / "one.exe") + " " + quoted(extracted)).status, 0);
    EXPECT_EQ(tree_of(extracted), tree_of(app));

    ASSERT_EQ(run_pack("archive " + quoted(app) + " -o " + quoted(root / "bare.kaz") + " --compress=19").status, 0);
    std::string bare = read_file(root / "bare.kaz");
    EXPECT_EQ(bare.substr(0, 3), "KAZ");
    std::string damaged = bare;
    damaged[damaged.size() / 2] ^= 0x40;  // inside big.bin's pieces
    write_file(root / "damaged.kaz", damaged);
    run_result refused = run_pack("extract " + quoted(root / "damaged.kaz") + " " + quoted(root / "target"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("payload is damaged"), std::string::npos) << refused.out;
    // The file the damage cut short is not left, under its name or another;
    // with --force, what stood there stays as it was.
    EXPECT_TRUE(fs::is_directory(root / "target" / "lib")) << "files before the damage are written";
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "target" / "lib"), fs::directory_iterator()), 0);
    write_file(root / "target" / "lib" / "big.bin", "the user's");
    refused = run_pack("extract " + quoted(root / "damaged.kaz") + " " + quoted(root / "target") + " --force");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(read_file(root / "target" / "lib" / "big.bin"), "the user's");
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "target" / "lib"), fs::directory_iterator()), 1);

    // --compress=max: blocks that span files, read by the same reader.
    ASSERT_EQ(pack_to(root / "max.exe", "--compress=max").status, 0);
    EXPECT_NE(run_pack("list " + quoted(root / "max.exe")).out.find(summary + ", compressed to "), std::string::npos);
    EXPECT_NE(run_pack("info " + quoted(root / "max.exe")).out.find(", zstd max, blocks of 32 MiB, compressed to "),
              std::string::npos);
    fs::path from_max = root / "from_max";
    ASSERT_EQ(run_pack("extract " + quoted(root / "max.exe") + " " + quoted(from_max)).status, 0);
    EXPECT_EQ(tree_of(from_max), tree_of(app));
    ASSERT_EQ(run_pack("archive " + quoted(app) + " -o " + quoted(root / "bare.kas") + " --compress=max").status, 0);
    std::string solid = read_file(root / "bare.kas");
    EXPECT_EQ(solid.substr(0, 3), "KAS");
    solid[solid.size() - 40] ^= 0x40;  // inside the one block's frame
    write_file(root / "damaged.kas", solid);
    refused = run_pack("extract " + quoted(root / "damaged.kas") + " " + quoted(root / "target_max"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("payload is damaged"), std::string::npos) << refused.out;

    EXPECT_EQ(pack_to(root / "bad.exe", "--compress=20").status, 2);
    EXPECT_EQ(pack_to(root / "bad.exe", "--compress=x").status, 2);
    EXPECT_FALSE(fs::exists(root / "bad.exe"));
}
