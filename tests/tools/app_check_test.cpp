// The packer's checks of what it packs, and `info`: real DLLs built with
// mingw-w64 pass, anything the launcher's child could not call is refused
// with status 2 and no output, missing imports and long paths warn.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <tuple>

#include <fstream>

#include "checks.h"
#include "output.h"
#include "pe_image.h"
#include "format/branding_record.h"
#include "tests/tools/packer_run.h"

namespace {

namespace fs = std::filesystem;

fs::path library(const char* name) { return fs::path(ONEFILE_CHECK_LIBRARIES) / name; }

using packer_test::quoted;
using packer_test::read_file;
using packer_test::write_file;
using run_result = packer_test::packer_run;
run_result run_pack(const std::string& args) { return packer_test::run_packer(args); }

size_t lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

class AppCheck : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("app_check_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        app = root / "app";
        fs::create_directories(app);
        write_file(app / "data" / "readme.txt", "payload entry");
    }
    void TearDown() override { fs::remove_all(root); }

    void use_as_main(const std::string& bytes) { write_file(app / "main.dll", bytes); }
    run_result pack(const std::string& extra = "", const fs::path& stub = fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe") {
        return run_pack("pack " + quoted(app) + " -o " + quoted(root / "out.exe") + " --stub " + quoted(stub) +
                        " --quiet " + extra);
    }

    fs::path root, app;
};

TEST_F(AppCheck, RealApplicationLibraryPacksWithoutAWord) {
    fs::copy_file(library("good.dll"), app / "main.dll");
    run_result result = pack();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(fs::exists(root / "out.exe"));
}

// Each is refused with one line, status 2, and nothing beside APP_DIR: no
// OUT, no OUT.partial; --no-check packs it all the same.
TEST_F(AppCheck, RefusesWhatTheChildCouldNotCall) {
    std::string good = read_file(library("good.dll"));
    uint32_t pe = static_cast<uint8_t>(good[0x3C]) | (static_cast<uint8_t>(good[0x3D]) << 8);
    std::string pe32 = good, i386 = good;
    pe32[pe + 24] = 0x0B, pe32[pe + 25] = 0x01;  // optional header magic of PE32
    i386[pe + 4] = 0x4C, i386[pe + 5] = 0x01;    // machine x86
    // --no-check is suggested only where the reader, not the loader, may be wrong.
    const std::tuple<std::string, std::string, bool> cases[] = {
        {read_file(fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe"), "a program, not a DLL", false},
        {pe32, "a PE32 (32-bit) image", false},
        {i386, "a 32-bit x86 image", false},
        {read_file(library("no_entry.dll")), "does not export run_code by name; declare it extern \"C\"", false},
        {"just some text, no image at all\n", "not a Windows image", false},
        {good.substr(0, 1000), "a header or table lies past the end of the file", true},
    };
    for (const auto& [bytes, reason, suggests_no_check] : cases) {
        SCOPED_TRACE(reason);
        use_as_main(bytes);
        run_result result = pack();
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(lines(result.err), 1u) << result.err;
        EXPECT_NE(result.err.find("main.dll cannot be the application library: " + reason), std::string::npos)
            << result.err;
        EXPECT_EQ(result.err.find("--no-check") != std::string::npos, suggests_no_check) << result.err;
        EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1)
            << "something left beside APP_DIR";
        result = pack("--no-check");
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        fs::remove(root / "out.exe");
    }
}

// main.dll imports helper.dll, which imports absent.dll. The child's loader
// looks beside main.dll (the top of the run directory) and in the system.
TEST_F(AppCheck, WarnsForEachImportNeitherShippedNorSystem) {
    fs::copy_file(library("uses_helper.dll"), app / "main.dll");
    run_result result = pack();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lines(result.err), 1u) << result.err;
    EXPECT_NE(result.err.find("warning: helper.dll (imported by main.dll) is neither in APP_DIR"), std::string::npos)
        << result.err;
    EXPECT_TRUE(fs::exists(root / "out.exe"));
    // --strict: the warning refuses the pack, and OUT is not written.
    fs::remove(root / "out.exe");
    result = pack("--strict");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--strict"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(root / "out.exe"));

    fs::create_directories(app / "lib");
    fs::copy_file(library("helper.dll"), app / "lib" / "helper.dll");  // not where the loader looks
    EXPECT_NE(pack().err.find("helper.dll (imported by main.dll)"), std::string::npos);

    fs::copy_file(library("helper.dll"), app / "HELPER.DLL");  // found without regard to case
    result = pack();
    EXPECT_EQ(lines(result.err), 2u) << result.err;
    EXPECT_NE(result.err.find("absent.dll (imported by HELPER.DLL) is neither"), std::string::npos) << result.err;
    // Every image is checked where it lies, the one no library imports too.
    EXPECT_NE(result.err.find("absent.dll (imported by lib\\helper.dll) is neither in APP_DIR\\lib"), std::string::npos)
        << result.err;
    fs::remove_all(app / "lib");

    write_file(app / "absent.dll", "not an image");
    EXPECT_NE(pack().err.find("absent.dll (imported by HELPER.DLL) is in APP_DIR but cannot be loaded"),
              std::string::npos);

    fs::copy_file(library("absent.dll"), app / "absent.dll", fs::copy_options::overwrite_existing);
    EXPECT_EQ(pack().err, "");
    fs::remove(app / "absent.dll");
    EXPECT_EQ(pack("--no-check").err, "");
}

// A program and a library below APP_DIR, each missing an import, are found
// by their content (no .exe or .dll in their names).
TEST_F(AppCheck, ChecksEveryImageInThePayload) {
    fs::copy_file(library("good.dll"), app / "main.dll");
    fs::create_directories(app / "tools");
    fs::copy_file(library("uses_absent.exe"), app / "tools" / "run");
    fs::copy_file(library("helper.dll"), app / "tools" / "helper.node");
    run_result result = pack();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(lines(result.err), 1u) << result.err;  // one finding, both importers
    EXPECT_NE(result.err.find("absent.dll (imported by tools\\helper.node, tools\\run) is neither in APP_DIR\\tools"),
              std::string::npos) << result.err;
    run_result info = run_pack("info " + quoted(root / "out.exe"));
    EXPECT_EQ(info.status, 3);
    EXPECT_NE(info.out.find("could not be found"), std::string::npos) << info.out;
    fs::remove(root / "out.exe");
    EXPECT_EQ(pack("--strict").status, 2);
    EXPECT_FALSE(fs::exists(root / "out.exe"));

    std::string i386 = read_file(library("good.dll"));
    uint32_t pe = static_cast<uint8_t>(i386[0x3C]) | (static_cast<uint8_t>(i386[0x3D]) << 8);
    i386[pe + 4] = 0x4C, i386[pe + 5] = 0x01;
    write_file(app / "tools" / "helper.node", i386);
    result = pack();
    EXPECT_NE(result.err.find("warning: tools\\helper.node: a 32-bit x86 image"), std::string::npos) << result.err;
}

// main.dll needs helper.dll, which needs absent.dll: both come from the
// search paths, the first loadable one in their order, beside main.dll.
TEST_F(AppCheck, SearchPathsSupplyWhatIsMissing) {
    fs::copy_file(library("uses_helper.dll"), app / "main.dll");
    fs::path first = root / "first", second = root / "second";
    write_file(first / "HELPER.dll", "not an image");
    fs::create_directories(second);
    fs::copy_file(library("helper.dll"), second / "helper.dll");
    fs::copy_file(library("absent.dll"), second / "absent.dll");
    fs::copy_file(library("good.dll"), second / "kernel32.dll");  // Windows' own is never taken
    run_result result = pack("--strict --search-path " + quoted(first) + " --search-path " + quoted(second));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("added helper.dll (imported by main.dll) from " + (second / "helper.dll").string() +
                              "; passed over " + (first / "HELPER.dll").string()), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("added absent.dll (imported by helper.dll)"), std::string::npos) << result.out;
    EXPECT_EQ(lines(result.out), 2u) << result.out;
    run_result list = run_pack("list " + quoted(root / "out.exe"));
    EXPECT_NE(list.out.find("\tmain.dll\n"), std::string::npos);
    EXPECT_LT(list.out.find("\tabsent.dll\n"), list.out.find("\tdata\\readme.txt\n")) << list.out;
    EXPECT_EQ(list.out.find("kernel32"), std::string::npos) << list.out;
    run_result info = run_pack("info " + quoted(root / "out.exe"));
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("  added            absent.dll (imported by helper.dll) from "), std::string::npos) << info.out;
    EXPECT_EQ(run_pack("pack " + quoted(app) + " -o x.exe --no-check --search-path " + quoted(first)).status, 2);
}

// main.dll imports fwd_func from fwd_a.dll, which forwards it to fwd_b.dll,
// found only along a search path; fwd_b.dll forwards back to fwd_a.dll.
TEST_F(AppCheck, ForwardedExportsBringTheirLibraries) {
    fs::copy_file(library("uses_fwd.dll"), app / "main.dll");
    fs::copy_file(library("fwd_a.dll"), app / "fwd_a.dll");
    fs::path folder = root / "search";
    fs::create_directories(folder);
    fs::copy_file(library("fwd_b.dll"), folder / "fwd_b.dll");
    run_result result = pack("--strict --search-path " + quoted(folder));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("added fwd_b.dll (imported by fwd_a.dll)"), std::string::npos) << result.out;
    EXPECT_EQ(lines(result.out), 1u) << result.out;
}

// Windows' own libraries are never asked for: one no hand-kept list had.
TEST_F(AppCheck, WindowsLibrariesPassStrict) {
    fs::copy_file(library("uses_avicap32.dll"), app / "main.dll");
    run_result result = pack("--strict");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
}

// Without --search-path the C++ runtime comes from the mingw-w64 compiler's
// folders; --no-default-search leaves it out and says where it looked.
TEST_F(AppCheck, DefaultFoldersSupplyTheCompilersRuntime) {
    fs::copy_file(library("uses_cxx_runtime.dll"), app / "main.dll");
    run_result result = pack("--strict");
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* name : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"})
        EXPECT_NE(result.out.find(std::string("added ") + name), std::string::npos) << result.out;
    result = pack("--no-default-search");
    EXPECT_NE(result.err.find("libstdc++-6.dll (imported by main.dll) is neither in APP_DIR nor a library every "
                              "Windows has; searched no folder (add one with --search-path DIR, or SEARCH_PATHS"),
              std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("added"), std::string::npos) << result.out;
}

// The compiler on PATH tells where its toolchain lies: the bin folder beside
// its lib folder (Debian's /usr/x86_64-w64-mingw32/bin) is searched too.
TEST_F(AppCheck, DefaultFoldersIncludeTheToolchainsBinaries) {
    fs::path toolchain = root / "toolchain", tools = root / "tools";
    write_file(toolchain / "lib" / "libwinpthread-1.dll", "the compiler's");
    fs::create_directories(toolchain / "bin");
    fs::copy_file(library("helper.dll"), toolchain / "bin" / "helper.dll");
    fs::copy_file(library("absent.dll"), toolchain / "lib" / "absent.dll");
    write_file(tools / "x86_64-w64-mingw32-g++-posix",
               "#!/bin/sh\ncase \"$1\" in *winpthread*) echo " + (toolchain / "lib" / "libwinpthread-1.dll").string() +
                   " ;; *) echo \"${1#*=}\" ;; esac\n");
    fs::permissions(tools / "x86_64-w64-mingw32-g++-posix", fs::perms::owner_all);
    fs::copy_file(library("uses_helper.dll"), app / "main.dll");
    std::string path = getenv("PATH");
    setenv("PATH", (tools.string() + ":" + path).c_str(), 1);
    run_result result = pack("--strict");
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("added helper.dll (imported by main.dll) from " + (toolchain / "bin" / "helper.dll").string()),
              std::string::npos) << result.out;
    EXPECT_NE(result.out.find("added absent.dll (imported by helper.dll) from " + (toolchain / "lib").string()),
              std::string::npos) << result.out;
}

// A library a search path supplies keeps the name rules of the folder's own
// files: a device name, or a file where the folder has a directory of that
// name, is refused and nothing is written.
TEST_F(AppCheck, AddedLibrariesKeepTheNameRules) {
    std::string importer = read_file(library("uses_helper.dll"));
    // The import's name, after the library's own name uses_helper.dll.
    size_t import = importer.rfind("helper.dll");
    ASSERT_NE(importer.find("helper.dll"), import);
    fs::path search = root / "search";
    for (const std::string name : {"nul.x", "b.dll"}) {
        SCOPED_TRACE(name);
        std::string patched = importer;
        patched.replace(import, 10, name + std::string(10 - name.size(), '\0'));
        use_as_main(patched);
        write_file(search / name, read_file(library("good.dll")));
        write_file(app / "b.dll" / "notes.txt", "a folder of the same name");
        run_result result = pack("--search-path " + quoted(search));
        EXPECT_EQ(result.status, 2) << result.out << result.err;
        EXPECT_NE(result.err.find(name == "nul.x" ? "reserved Windows device name: nul.x"
                                                  : "file and directory names differ only in case: b.dll"),
                  std::string::npos)
            << result.err;
        EXPECT_FALSE(fs::exists(root / "out.exe"));
    }
}

// An earlier output inside APP_DIR is not packed again.
TEST_F(AppCheck, OutputInsideItsFolderIsLeftOut) {
    fs::copy_file(library("good.dll"), app / "main.dll");
    const std::string args = "pack " + quoted(app) + " -o " + quoted(app / "App.exe") + " --quiet --stub " +
                             quoted(fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe");
    ASSERT_EQ(run_pack(args).status, 0);
    ASSERT_EQ(run_pack(args).status, 0);
    EXPECT_EQ(run_pack("list " + quoted(app / "App.exe")).out.find("App.exe"), std::string::npos);
    EXPECT_NE(fs::status(app / "App.exe").permissions() & fs::perms::owner_exec, fs::perms::none) << "executable";
    // Any other file of the application at OUT is the user's: refused.
    fs::copy_file(fs::path(ONEFILE_TEST_STUBS) / "stub512.exe", app / "Tool.exe");
    std::string tool = read_file(app / "Tool.exe");
    run_result refused = run_pack("pack " + quoted(app) + " -o " + quoted(app / "Tool.exe") + " --quiet --stub " +
                                  quoted(fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("is the application's file Tool.exe; writing it would replace it"), std::string::npos)
        << refused.err;
    EXPECT_EQ(read_file(app / "Tool.exe"), tool);
}

// A library given with --main-file is named as the user built it.
TEST_F(AppCheck, RefusalNamesTheLibraryTheUserBuilt) {
    run_result result = pack("--main-file " + quoted(library("no_entry.dll")));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("onefile-pack: error: no_entry.dll (packed as main.dll) cannot be", 0), 0u) << result.err;
    fs::copy_file(library("good.dll"), app / "main.dll");
    EXPECT_EQ(pack("--main-file " + quoted(library("good.dll"))).status, 2) << "two main.dll";
}

// Only the texts the user did not give are the launcher's own.
TEST_F(AppCheck, WarnsWhenThePackedFileKeepsTheLaunchersOwnTexts) {
    if (!fs::exists(ONEFILE_STUB_PATH)) GTEST_SKIP() << "no launcher stub at " ONEFILE_STUB_PATH " (make all)";
    fs::copy_file(library("good.dll"), app / "main.dll");
    run_result result = pack("--product Mine", ONEFILE_STUB_PATH);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lines(result.err), 2u) << result.err;
    EXPECT_NE(result.err.find("launcher's own company"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("launcher's own version"), std::string::npos) << result.err;
    EXPECT_EQ(pack("--product Mine --company Me --version 2", ONEFILE_STUB_PATH).err, "");
}

// --run-directory: a bad template is one line, status 2, no output; a good
// one goes into the record (brand keeps it for pack) and info names its
// kind and whether leftovers are swept; the default changes no byte.
TEST_F(AppCheck, RunDirectoryTemplateIsCheckedStoredAndShown) {
    if (!fs::exists(ONEFILE_STUB_PATH)) GTEST_SKIP() << "no launcher stub at " ONEFILE_STUB_PATH " (make all)";
    fs::copy_file(library("good.dll"), app / "main.dll");
    const std::pair<const char*, const char*> refused[] = {
        {"'{TEMP}/x_{PID}'", "uses {PID} without {TIME}"},
        {"'runs/{PID}_{TIME}'", "does not start with"},
        {"'{TEMP}/{NOPE}_{TIME}'", "names a placeholder the launcher does not know"},
        {"'%LOCALAPPDATA%/Co/{PRODUCT}'", "names %LOCALAPPDATA%, which the launcher does not expand; use {CACHE_DIR}"},
        {"'{HOME}/Documents'", "is a cache that would be a folder of the user's own"},
    };
    for (const auto& [option, why] : refused) {
        run_result result = pack(std::string("--run-directory ") + option, ONEFILE_STUB_PATH);
        EXPECT_EQ(result.status, 2) << option;
        EXPECT_EQ(lines(result.err), 1u) << result.err;
        EXPECT_NE(result.err.find(std::string("--run-directory: ") + option + " " + why), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(root / "out.exe"));
    }
    EXPECT_NE(pack("--run-directory '{TEMP}/a_{PID}_{TIME}'").err.find("holds no run-directory template"),
              std::string::npos) << "a stub without the record's field";

    auto info_row = [&](const fs::path& image) {
        std::string text = run_pack("info " + quoted(image)).out;
        size_t at = text.find("  run directory    ");
        return at == std::string::npos ? text : text.substr(at + 19, text.find('\n', at) - at - 19);
    };
    ASSERT_EQ(pack("--quiet", ONEFILE_STUB_PATH).status, 0);
    std::string plain = read_file(root / "out.exe");
    EXPECT_EQ(info_row(root / "out.exe"),
              "{TEMP}\\onefile_{PID}_{TIME} (per start; leftovers whose lock file names them are swept)");
    ASSERT_EQ(pack("--run-directory '{TEMP}\\onefile_{PID}_{TIME}'", ONEFILE_STUB_PATH).status, 0);
    EXPECT_EQ(read_file(root / "out.exe"), plain) << "the default template changed bytes";

    fs::path branded = root / "branded.exe";
    ASSERT_EQ(run_pack("brand " + quoted(ONEFILE_STUB_PATH) + " -o " + quoted(branded) +
                       " --run-directory '{CACHE_DIR}/Co/{PRODUCT}_{TIME}_{PID}'").status, 0);
    ASSERT_EQ(pack("", branded).status, 0);
    EXPECT_EQ(info_row(root / "out.exe"),
              "{CACHE_DIR}\\Co\\{PRODUCT}_{TIME}_{PID} (per start; leftovers whose lock file names them are swept)");
    ASSERT_EQ(pack("--run-directory '{TEMP}/app_{TIME}'", ONEFILE_STUB_PATH).status, 0);
    EXPECT_EQ(info_row(root / "out.exe").rfind("{TEMP}\\app_{TIME} (per start; leftovers are not swept: the "
                                               "template lacks {PID} or {TIME}", 0), 0u);
}

// A cache's template: the record gets the SHA-256 of the archive as written
// (another payload, another digest); a top-level file of the record's name
// is refused.
TEST_F(AppCheck, CacheTemplateRecordsThePayloadsDigest) {
    pack::sha256 known;
    known.update("abc", 3);
    std::array<uint8_t, 32> abc = known.finish();
    EXPECT_EQ(abc[0], 0xba);
    EXPECT_EQ(abc[31], 0xad);
    if (!fs::exists(ONEFILE_STUB_PATH)) GTEST_SKIP() << "no launcher stub at " ONEFILE_STUB_PATH " (make all)";
    fs::copy_file(library("good.dll"), app / "main.dll");
    auto digests = [&]() {
        std::ifstream in(root / "out.exe", std::ios::binary);
        uint64_t size = fs::file_size(root / "out.exe");
        pack::image_summary summary = pack::summarise_image(in, size);
        std::vector<uint8_t> recorded;
        for (const pack::image_section& section : summary.sections)
            if (section.name == ".brand")
                recorded = pack::read_stream_bytes(in, section.offset + offsetof(branding_record, payload_digest), 32);
        pack::payload_location where = pack::locate_payload(in, size);
        std::vector<uint8_t> archive = pack::read_stream_bytes(in, where.offset, static_cast<size_t>(where.size));
        pack::sha256 digest;
        digest.update(archive.data(), archive.size());
        std::array<uint8_t, 32> computed = digest.finish();
        return std::make_pair(recorded, std::vector<uint8_t>(computed.begin(), computed.end()));
    };
    const std::string cache = "--run-directory 'C:/Caches/{COMPANY}/{PRODUCT}/{VERSION}'";
    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    auto first = digests();
    EXPECT_EQ(first.first, first.second);
    EXPECT_NE(run_pack("info " + quoted(root / "out.exe")).out.find("{VERSION} (cache: "), std::string::npos);
    write_file(app / "data" / "readme.txt", "payload entry, changed");
    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    auto second = digests();
    EXPECT_EQ(second.first, second.second);
    EXPECT_NE(second.first, first.first);
    ASSERT_EQ(pack("", ONEFILE_STUB_PATH).status, 0);
    EXPECT_EQ(digests().first, std::vector<uint8_t>(32, 0)) << "a per-start template records no digest";

    write_file(app / ".ONEFILE-cache", "mine");
    fs::remove(root / "out.exe");
    run_result refused = pack(cache, ONEFILE_STUB_PATH);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find(".ONEFILE-cache: the launcher records a cache's digest under this name"),
              std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(root / "out.exe"));
}

// A cache build's stamp comes from SOURCE_DATE_EPOCH, else from its newest
// input, never from the clock: the same inputs pack to the same bytes, a
// later input makes a later stamp, and info shows it.
TEST_F(AppCheck, CacheTemplateRecordsABuildStampFromItsInputs) {
    if (!fs::exists(ONEFILE_STUB_PATH)) GTEST_SKIP() << "no launcher stub at " ONEFILE_STUB_PATH " (make all)";
    fs::copy_file(library("good.dll"), app / "main.dll");
    auto stamp = [&]() {
        std::ifstream in(root / "out.exe", std::ios::binary);
        pack::image_summary summary = pack::summarise_image(in, fs::file_size(root / "out.exe"));
        uint64_t value = 0;
        for (const pack::image_section& section : summary.sections) {
            if (section.name != ".brand") continue;
            std::vector<uint8_t> bytes =
                pack::read_stream_bytes(in, section.offset + offsetof(branding_record, build_stamp), 8);
            for (int i = 7; i >= 0; --i) value = value << 8 | bytes[static_cast<size_t>(i)];
        }
        return value;
    };
    const std::string cache = "--run-directory 'C:/Caches/{PRODUCT}'";
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(stamp(), (1700000000ull + 11644473600ull) * 10000000ull);
    EXPECT_NE(run_pack("info " + quoted(root / "out.exe")).out.find("  build stamp      2023-11-14 22:13:20 UTC"),
              std::string::npos);

    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    std::string first = read_file(root / "out.exe");
    uint64_t from_inputs = stamp();
    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    EXPECT_EQ(read_file(root / "out.exe"), first) << "the same inputs packed to other bytes";
    fs::last_write_time(app / "data" / "readme.txt", fs::file_time_type::clock::now() + std::chrono::hours(1));
    ASSERT_EQ(pack(cache, ONEFILE_STUB_PATH).status, 0);
    EXPECT_GT(stamp(), from_inputs);
    ASSERT_EQ(pack("", ONEFILE_STUB_PATH).status, 0);
    EXPECT_EQ(stamp(), 0u) << "a per-start template records no stamp";
}

// With the typical TEMP assumed, a name of 172 units still fits in 259.
TEST_F(AppCheck, WarnsForPathsTheCleanUpCannotDelete) {
    fs::copy_file(library("good.dll"), app / "main.dll");
    std::string component(150, 'd');
    write_file(app / component / std::string(21, 'f'), "172 units");
    EXPECT_EQ(pack().err, "");
    write_file(app / component / std::string(22, 'f'), "173 units");
    run_result result = pack();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lines(result.err), 1u) << result.err;
    EXPECT_NE(result.err.find(std::string(22, 'f') + " would have a path of 260 units"), std::string::npos) << result.err;

    for (int i = 0; i < 20; ++i) write_file(app / component / (std::string(30, 'g') + std::to_string(i)), "x");
    result = pack();
    EXPECT_EQ(lines(result.err), 4u) << result.err;  // three entries, then the summary
    EXPECT_NE(result.err.find("18 more entries pass 259 units (longest: 270)"), std::string::npos) << result.err;
    EXPECT_EQ(pack("--no-check").err, "");
}

TEST_F(AppCheck, InfoTellsWhatThePackedImageHolds) {
    fs::copy_file(library("uses_helper.dll"), app / "main.dll");
    fs::copy_file(library("helper.dll"), app / "HELPER.dll");
    ASSERT_EQ(pack().status, 0);
    run_result info = run_pack("info " + quoted(root / "out.exe"));
    EXPECT_EQ(info.status, 3) << "absent.dll is missing";
    const std::string& text = info.out;
    for (const char* expected :
         {"  launcher         unknown\n", "  file version     1.0.9.0\n", "  CompanyName      Test\n",
          "  icons            none\n", "  payload          3 entries, ",
          "  library          main.dll, ", " bytes, exports run_code\n",
          "helper.dll (in the payload)", "msvcrt.dll (system)",
          "  missing          The library absent.dll, imported by HELPER.dll, could not be found.\n", "  signed           no\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
    EXPECT_LE(lines(text), 24u) << "one screen";

    // A program that carries no payload and is no launcher stub (these test
    // stubs have no branding record) is not taken for one.
    run_result plain = run_pack("info " + quoted(fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe"));
    EXPECT_EQ(plain.status, 2);
    EXPECT_NE(plain.err.find("stub4096.exe carries no payload and no launcher's branding record"), std::string::npos)
        << plain.err;
    run_result refused = run_pack("info " + quoted(app / "data" / "readme.txt"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("not a packed image"), std::string::npos) << refused.err;

    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") == 0) {
        std::string script = "cd " + quoted(root) +
                             " && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 2"
                             " -subj /CN=onefile-test >/dev/null 2>&1"
                             " && osslsigncode sign -certs c.pem -key k.pem -in out.exe -out signed.exe >/dev/null 2>&1";
        ASSERT_EQ(std::system(script.c_str()), 0);
        EXPECT_NE(run_pack("info " + quoted(root / "signed.exe")).out.find("  signed           yes"), std::string::npos);
    }
}

// The launcher stub of this build carries its release in its branding record,
// and whether it shows the progress window, which --no-progress turns off.
TEST_F(AppCheck, InfoAndVersionNameTheReleases) {
    run_result version = run_pack("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("onefile-pack ") + ONEFILE_PROJECT_VERSION + "\n");
    if (!fs::exists(ONEFILE_STUB_PATH)) GTEST_SKIP() << "no launcher stub at " ONEFILE_STUB_PATH " (make all)";
    fs::copy_file(library("good.dll"), app / "main.dll");
    ASSERT_EQ(pack("", ONEFILE_STUB_PATH).status, 0);
    run_result info = run_pack("info " + quoted(root / "out.exe"));
    EXPECT_EQ(info.status, 0) << "nothing is missing";
    std::string text = info.out;
    EXPECT_NE(text.find(std::string("  launcher         ") + ONEFILE_PROJECT_VERSION + "\n"), std::string::npos) << text;
    size_t icons = text.find("  icons            ");
    ASSERT_NE(icons, std::string::npos) << text;
    EXPECT_NE(text.substr(icons, text.find('\n', icons) - icons).find("256"), std::string::npos) << text;
    EXPECT_NE(text.find("  progress window  on "), std::string::npos) << text;
    // A bare stub shows its defaults before anything is packed.
    run_result stub = run_pack("info " + quoted(ONEFILE_STUB_PATH));
    EXPECT_EQ(stub.status, 0) << stub.err;
    EXPECT_NE(stub.out.find("  payload          none (a stub"), std::string::npos) << stub.out;
    ASSERT_EQ(pack("--no-progress", ONEFILE_STUB_PATH).status, 0);
    text = run_pack("info " + quoted(root / "out.exe")).out;
    EXPECT_NE(text.find("  progress window  off (--no-progress)\n"), std::string::npos) << text;
}

// The reader takes a user's file: truncated and scrambled libraries give a
// problem or a result, never a crash or a read out of bounds (ASan watches).
TEST(ApplicationLibraryReader, SurvivesTruncatedAndScrambledImages) {
    std::string good = read_file(library("uses_helper.dll"));
    ASSERT_GT(good.size(), 1024u);
    auto read = [](const std::string& bytes) {
        std::istringstream in(bytes);
        return pack::read_library({&in, 0, bytes.size()});
    };
    pack::library_image whole = read(good);
    EXPECT_EQ(whole.problem, "");
    EXPECT_TRUE(whole.exports_run_code);
    EXPECT_NE(std::find(whole.imports.begin(), whole.imports.end(), "helper.dll"), whole.imports.end());
    for (size_t size = 0; size < good.size(); size += 7) read(good.substr(0, size));
    std::mt19937 random(20260);
    for (int round = 0; round < 3000; ++round) {
        std::string scrambled = good;
        for (int k = 0; k < 4; ++k) {
            // Mostly the headers and tables, where offsets live.
            size_t at = random() % (round % 2 ? scrambled.size() : std::min<size_t>(scrambled.size(), 1024));
            scrambled[at] = static_cast<char>(random());
        }
        read(scrambled);
    }
}

}  // namespace
