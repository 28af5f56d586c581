// Reads the built launcher stub and an executable packed from it, on the
// build machine, and runs every image check on both. The stub comes from the
// Windows build and the packer from this one; an image that has not been
// built yet is skipped with a message rather than failed.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "format/icon_file.h"
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

// An icon of three of the launcher's own images, in another order, and a
// manifest of the same length with another assembly name.
const std::vector<uint32_t> branded_icon_pixels = {48, 16, 256};
void write_branding_inputs(const std::string& dir) {
    std::vector<uint8_t> ico;
    pe::read_file(ONEFILE_SOURCE_ICON, ico);
    std::vector<icon_image> images, chosen;
    std::string error;
    if (read_icon_file(ico, images, error))
        for (uint32_t pixels : branded_icon_pixels)
            for (const icon_image& image : images)
                if (image.width == pixels) chosen.push_back(image);
    std::vector<uint8_t> out = write_icon_file(chosen);
    std::ofstream(dir + "/branded.ico", std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                               static_cast<std::streamsize>(out.size()));
    std::vector<uint8_t> manifest = expected_manifest();
    std::string text(manifest.begin(), manifest.end());
    size_t name = text.find("name=\"Mini\"");
    if (name != std::string::npos) text.replace(name, 11, "name=\"Wdgt\"");
    std::ofstream(dir + "/branded.manifest", std::ios::binary) << text;
}

const char BRANDING_OPTIONS[] =
    " --product Widget --company 'Acme Widgets Ltd' --version 2.3.4.5 --description 'Widget for tests'"
    " --copyright '(c) Acme' --original-filename Widget.exe";

// Packs a two-file application behind the stub, once per test run and
// label: "packed" as it is, "branded" with every branding option.
std::string packed_image(const std::string& label, std::string& why_not) {
    static ScratchDirectory scratch;
    static std::string app;
    static std::map<std::string, std::pair<std::string, std::string>> results;  // path, failure
    if (results.count(label) == 0) {
        std::string& result = results[label].first;
        std::string& failure = results[label].second;
        if (scratch.path.empty()) {
            char dir_template[] = "/tmp/onefile-image-test-XXXXXX";
            const char* dir = mkdtemp(dir_template);
            if (dir != nullptr) {
                scratch.path = dir;
                app = std::string(dir) + "/app";
                mkdir(app.c_str(), 0700);
                mkdir((app + "/data").c_str(), 0700);
                std::ofstream(app + "/main.dll") << "not a real library; the image test never runs it";
                std::ofstream(app + "/data/readme.txt") << "payload entry";
                write_branding_inputs(dir);
            }
        }
        if (scratch.path.empty()) {
            failure = "cannot make a temporary directory";
        } else {
            std::string out = scratch.path + "/" + label + ".exe";
            std::string command = std::string("'") + ONEFILE_PACK_PATH + "' pack '" + app + "' -o '" + out +
                                  "' --stub '" + ONEFILE_STUB_PATH + "' --no-check";
            if (label == "branded")
                command += std::string(BRANDING_OPTIONS) + " --icon '" + scratch.path + "/branded.ico' --manifest '" +
                           scratch.path + "/branded.manifest'";
            if (std::system(command.c_str()) != 0) {
                failure = "FAILED: " + command;
            } else {
                result = out;
            }
        }
    }
    why_not = results[label].second;
    return results[label].first;
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
    where.path = packed_image(label, why_not);
    where.carries_payload = true;
    if (label == "branded") {
        where.branding.strings = {
            {u"CompanyName", u"Acme Widgets Ltd"}, {u"ProductName", u"Widget"},
            {u"ProductVersion", u"2.3.4.5"},       {u"FileVersion", u"2.3.4.5"},
            {u"OriginalFilename", u"Widget.exe"},  {u"InternalName", u"Widget"},
            {u"FileDescription", u"Widget for tests"}, {u"LegalCopyright", u"(c) Acme"},
        };
        where.branding.version_high = 0x00020003;
        where.branding.version_low = 0x00040005;
        where.branding.version_block_bytes = 0;
        where.branding.icon_pixels = branded_icon_pixels;
        if (!where.path.empty())
            where.branding.manifest_path = where.path.substr(0, where.path.rfind('/')) + "/branded.manifest";
    }
    if (where.path.empty()) ADD_FAILURE() << why_not;
    return where;
}

std::vector<uint8_t> expected_manifest(const std::string& path) {
    std::vector<uint8_t> bytes;
    pe::read_file(path.empty() ? ONEFILE_SOURCE_MANIFEST : path, bytes);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(built, LauncherImage, ::testing::Values("stub", "packed", "branded"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace image_checks
