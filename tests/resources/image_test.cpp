// Reads the built launcher stub and an executable packed from it, on the
// build machine, and runs every image check on both. The stub comes from the
// Windows build and the packer from this one; an image that has not been
// built yet is skipped with a message rather than failed.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/resources/image_checks.h"
#include "tests/resources/pe_reader.h"

namespace image_checks {
namespace {

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Removes the packing directory when the test program ends.
struct ScratchDirectory {
    std::string path;
    ~ScratchDirectory() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
};

// Packs a two-file application behind the stub, once per test run.
std::string packed_image(std::string& why_not) {
    static ScratchDirectory scratch;
    static std::string result;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        char dir_template[] = "/tmp/onefile-image-test-XXXXXX";
        const char* dir = mkdtemp(dir_template);
        if (dir == nullptr) {
            failure = "cannot make a temporary directory";
        } else {
            scratch.path = dir;
            std::string app = std::string(dir) + "/app";
            std::string out = std::string(dir) + "/packed.exe";
            mkdir(app.c_str(), 0700);
            mkdir((app + "/data").c_str(), 0700);
            std::ofstream(app + "/main.dll") << "not a real library; the image test never runs it";
            std::ofstream(app + "/data/readme.txt") << "payload entry";
            std::string command = std::string("'") + ONEFILE_PACK_PATH + "' pack '" + app + "' -o '" + out +
                                  "' --stub '" + ONEFILE_STUB_PATH + "'";
            if (std::system(command.c_str()) != 0) {
                failure = "FAILED: " + command;
            } else {
                result = out;
            }
        }
    }
    why_not = failure;
    return result;
}

}  // namespace

Located locate_image(const std::string& label) {
    Located where;
    if (!exists(ONEFILE_STUB_PATH)) {
        where.skip_reason = std::string("no launcher stub at ") + ONEFILE_STUB_PATH +
                            " (build the Windows side first: make all)";
        return where;
    }
    if (label == "stub") {
        where.path = ONEFILE_STUB_PATH;
        return where;
    }
    if (!exists(ONEFILE_PACK_PATH)) {
        where.skip_reason = std::string("no packer at ") + ONEFILE_PACK_PATH;
        return where;
    }
    std::string why_not;
    where.path = packed_image(why_not);
    where.carries_payload = true;
    if (where.path.empty()) ADD_FAILURE() << why_not;
    return where;
}

std::vector<uint8_t> expected_manifest() {
    std::vector<uint8_t> bytes;
    pe::read_file(ONEFILE_SOURCE_MANIFEST, bytes);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(built, LauncherImage, ::testing::Values("stub", "packed"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace image_checks
