// Runs the image checks on this test program itself, linked with the
// launcher's image options and branding record and branded after linking:
// the same recipe as the stub, checked where it is built, under Wine.
#include <windows.h>

#include "format/branding_record.h"
#include "tests/resources/image_checks.h"
#include "tests/resources/pe_reader.h"

namespace image_checks {

Located locate_image(const std::string&) {
    Located where;
    // The launcher's record, linked in as the stub links it through its
    // path templates, so that its section is in this image too.
    if (launcher_branding.record_size != sizeof(branding_record)) ADD_FAILURE() << "record not linked";
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD error = GetLastError();
    if (length == 0 || length >= sizeof path) {
        ADD_FAILURE() << "GetModuleFileNameA failed, error " << error;
        return where;
    }
    where.path.assign(path, length);
    return where;
}

std::vector<uint8_t> expected_manifest(const std::string&) {
    std::vector<uint8_t> bytes;
    pe::read_file(ONEFILE_SOURCE_MANIFEST, bytes);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(linked, LauncherImage, ::testing::Values("self"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace image_checks
