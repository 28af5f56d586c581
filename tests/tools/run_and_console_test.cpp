// `--console` changes the header's subsystem field alone; `--run PROGRAM`
// puts the run library first and names PROGRAM, and refuses what the system
// could not start as a 64-bit program.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/tools/packer_run.h"

namespace {

namespace fs = std::filesystem;
using packer_test::quoted;
using packer_test::read_file;
using packer_test::run_packer;
using packer_test::write_file;

constexpr size_t SUBSYSTEM_IN_OPTIONAL_HEADER = 68, CHECKSUM_IN_OPTIONAL_HEADER = 64;

size_t optional_header(const std::string& image) {
    return static_cast<unsigned char>(image[0x3C]) + (static_cast<unsigned char>(image[0x3D]) << 8) + 24;
}

class RunAndConsole : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("onefile_run_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        app = root / "app";
        fs::create_directories(app / "bin");
        // The stub and the run library beside it, as installed.
        stub = root / "stub" / "launcher.exe";
        fs::create_directories(stub.parent_path());
        fs::copy_file(fs::path(ONEFILE_TEST_STUBS) / "stub4096.exe", stub);
        fs::copy_file(fs::path(ONEFILE_CHECK_LIBRARIES) / "good.dll", stub.parent_path() / "onefile-run.dll");
        // A 64-bit program (any 64-bit executable serves), a DLL, data.
        fs::copy_file(fs::path(ONEFILE_TEST_STUBS) / "stub512.exe", app / "bin" / "tool.exe");
        fs::copy_file(fs::path(ONEFILE_CHECK_LIBRARIES) / "good.dll", app / "helper.dll");
        write_file(app / "readme.txt", "data");
    }
    void TearDown() override { fs::remove_all(root); }

    packer_test::packer_run pack(const fs::path& out, const std::string& extra) {
        return run_packer("pack " + quoted(app) + " -o " + quoted(out) + " --stub " + quoted(stub) + " --quiet " + extra);
    }

    fs::path root, app, stub;
};

TEST_F(RunAndConsole, ConsoleChangesOnlyTheSubsystemAndChecksum) {
    write_file(app / "main.dll", read_file(fs::path(ONEFILE_CHECK_LIBRARIES) / "good.dll"));
    for (const char* command : {"pack", "brand"}) {
        SCOPED_TRACE(command);
        // The same file name: brand writes it into the version block.
        fs::path windowed = root / "windowed" / "out.exe", console = root / "console" / "out.exe";
        fs::create_directories(windowed.parent_path());
        fs::create_directories(console.parent_path());
        std::string common = std::string(command) == "pack" ? "pack " + quoted(app) + " --quiet --no-check"
                                                            : "brand " + quoted(stub) + " --description D";
        std::string stub_option = std::string(command) == "pack" ? " --stub " + quoted(stub) : "";
        ASSERT_EQ(run_packer(common + stub_option + " -o " + quoted(windowed)).status, 0);
        ASSERT_EQ(run_packer(common + stub_option + " --console -o " + quoted(console)).status, 0);
        std::string a = read_file(windowed), b = read_file(console);
        ASSERT_EQ(a.size(), b.size());
        size_t optional = optional_header(a);
        EXPECT_EQ(a[optional + SUBSYSTEM_IN_OPTIONAL_HEADER], 2);
        EXPECT_EQ(b[optional + SUBSYSTEM_IN_OPTIONAL_HEADER], 3);
        for (size_t i = 0; i < a.size(); ++i) {
            bool field = (i >= optional + CHECKSUM_IN_OPTIONAL_HEADER && i < optional + CHECKSUM_IN_OPTIONAL_HEADER + 4) ||
                         i == optional + SUBSYSTEM_IN_OPTIONAL_HEADER;
            if (!field) {
                ASSERT_EQ(a[i], b[i]) << "byte " << i;
            }
        }
        if (std::string(command) == "pack") {
            packer_test::packer_run info = run_packer("info " + quoted(console));
            EXPECT_NE(info.out.find("subsystem        console\n"), std::string::npos) << info.out;
            info = run_packer("info " + quoted(windowed));
            EXPECT_NE(info.out.find("subsystem        windows (GUI)\n"), std::string::npos) << info.out;
        }
    }
}

TEST_F(RunAndConsole, RunPutsTheLibraryFirstAndNamesTheProgram) {
    fs::path out = root / "tool.exe";
    packer_test::packer_run packed = pack(out, "--run bin/tool.exe");
    ASSERT_EQ(packed.status, 0) << packed.err;
    packer_test::packer_run listed = run_packer("list " + quoted(out));
    EXPECT_EQ(listed.out.rfind(std::to_string(fs::file_size(stub.parent_path() / "onefile-run.dll")) +
                                   "\tonefile-run.dll\n12\t.onefile-run\n",
                               0),
              0u)
        << listed.out;
    fs::path extracted = root / "extracted";
    ASSERT_EQ(run_packer("extract " + quoted(out) + " " + quoted(extracted)).status, 0);
    EXPECT_EQ(read_file(extracted / ".onefile-run"), "bin\\tool.exe");
    packer_test::packer_run info = run_packer("info " + quoted(out));
    EXPECT_NE(info.out.find("program          bin\\tool.exe (--run"), std::string::npos) << info.out;

    // The imports shown are the program's, looked for beside it.
    fs::copy_file(fs::path(ONEFILE_CHECK_LIBRARIES) / "uses_absent.exe", app / "bin" / "uses_absent.exe");
    fs::copy_file(fs::path(ONEFILE_CHECK_LIBRARIES) / "absent.dll", app / "absent.dll");
    ASSERT_EQ(pack(out, "--run bin/uses_absent.exe").status, 0);
    info = run_packer("info " + quoted(out));
    size_t imports = info.out.find("  imports          ");
    ASSERT_NE(imports, std::string::npos) << info.out;
    EXPECT_NE(info.out.substr(imports, info.out.find('\n', imports) - imports).find("absent.dll (MISSING)"),
              std::string::npos) << info.out;
}

TEST_F(RunAndConsole, RunRefusesWhatIsNotA64BitProgramInTheFolder) {
    std::string image = read_file(app / "bin" / "tool.exe");
    image[optional_header(image) - 20] = 0x4C;  // machine: i386
    image[optional_header(image) - 19] = 0x01;
    write_file(app / "old.exe", image);
    fs::path out = root / "tool.exe";
    for (const auto& [program, why] : std::vector<std::pair<std::string, std::string>>{
             {"missing.exe", "no such file in the application folder"},
             {"helper.dll", "is a DLL, not an executable"},
             {"readme.txt", "is not a Windows executable"},
             {"old.exe", "is not a 64-bit (x86-64) executable"}}) {
        packer_test::packer_run refused = pack(out, "--run " + program);
        EXPECT_EQ(refused.status, 2) << program;
        EXPECT_EQ(refused.err, "onefile-pack: error: --run " + program + ": " + why + "\n");
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(pack(out, "--run bin/tool.exe --main x.dll").status, 2);

    // The program is also the output: writing it would replace it.
    std::string program = read_file(app / "bin" / "tool.exe");
    packer_test::packer_run refused = pack(app / "bin" / "tool.exe", "--run bin/tool.exe");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "onefile-pack: error: -o " + (app / "bin" / "tool.exe").string() +
                               " is the program --run bin/tool.exe names; writing it would replace it: write the "
                               "packed file outside the application folder or under another name\n");
    EXPECT_EQ(read_file(app / "bin" / "tool.exe"), program);
}

}  // namespace
