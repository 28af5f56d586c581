// The packer's list of Windows' own libraries against real images: every
// library the launcher stub, the run library and the examples import is
// known, and so are libraries no hand-kept list had. Read under Wine by the
// Windows packer's own reader.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "checks.h"

namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '|');) parts.push_back(part);
    return parts;
}

}  // namespace

TEST(windows_libraries, know_what_the_project_imports_and_no_redistributable) {
    for (const std::string& unix_path : split(PROJECT_IMAGES)) {
        SCOPED_TRACE(unix_path);
        std::ifstream in("Z:" + unix_path, std::ios::binary | std::ios::ate);
        ASSERT_TRUE(in) << "cannot read";
        pack::file_part part{&in, 0, static_cast<uint64_t>(in.tellg())};
        pack::library_image image = pack::read_image(part);
        ASSERT_EQ(image.problem, "");
        EXPECT_FALSE(image.imports.empty());
        for (const std::string& name : image.imports) EXPECT_TRUE(pack::is_system_library(name)) << name;
    }
    for (const char* name : {"avicap32.dll", "BCRYPTPRIMITIVES.dll", "dwmapi", "uxtheme.dll", "winspool.drv",
                             "api-ms-win-core-synch-l1-2-0.dll", "ext-ms-win-ntuser-window-l1-1-0.dll"})
        EXPECT_TRUE(pack::is_system_library(name)) << name;
    for (const char* name : {"libwinpthread-1.dll", "libstdc++-6.dll", "vcruntime140.dll", "msvcp140.dll",
                             "d3dx9_43.dll", "xinput1_3.dll", "zlib1.dll", "helper.dll"})
        EXPECT_FALSE(pack::is_system_library(name)) << name;
}
