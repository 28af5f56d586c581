// Variable-name widening and the long-path prefix rules: the platform-free
// parts of environment access and executable identity.
#include <gtest/gtest.h>

#include <string>

#include "platform/environment.h"
#include "platform/executable_identity.h"

namespace {

TEST(WidenVariableName, NameEqualsItsAsciiFormUnitForUnit) {
    u16 wide[VARIABLE_NAME_CAPACITY];
    widen_variable_name(DIRECTORY_VARIABLE, wide);
    EXPECT_EQ(std::u16string(wide), u"TALVOR_ONEFILE_DIRECTORY");
    widen_variable_name("", wide);
    EXPECT_EQ(std::u16string(wide), u"");
}

TEST(WidenVariableNameDeathTest, ThirtyNineCharactersFitFortyDoNot) {
    u16 wide[VARIABLE_NAME_CAPACITY];
    std::string name(39, 'N');
    widen_variable_name(name.c_str(), wide);
    EXPECT_EQ(std::u16string(wide), std::u16string(39, u'N'));
    name += 'N';
    EXPECT_DEATH(widen_variable_name(name.c_str(), wide), "");
}

TEST(WidenVariableNameDeathTest, ByteOutsideTheDefaultLocaleEndsAbnormally) {
    u16 wide[VARIABLE_NAME_CAPACITY];
    EXPECT_DEATH(widen_variable_name("NAME_\xC3\xA9", wide), "");
}

std::u16string stripped(std::u16string result, const char16_t* source) {
    result.resize(64, u'\0');
    strip_long_path_prefix(result.data(), source, result.size());
    return std::u16string(result.c_str());
}

// The launcher's calls are in place: the source is the result itself.
std::u16string stripped_in_place(std::u16string result) {
    result.resize(64, u'\0');
    strip_long_path_prefix(result.data(), result.data(), result.size());
    return std::u16string(result.c_str());
}

TEST(StripLongPathPrefix, DrivePathLosesThePrefix) {
    EXPECT_EQ(stripped_in_place(u"\\\\?\\C:\\Apps\\Tool.exe"), u"C:\\Apps\\Tool.exe");
    EXPECT_EQ(stripped_in_place(u"\\\\?\\z:"), u"z:");
}

TEST(StripLongPathPrefix, NetworkPathBecomesTwoBackslashesAndServer) {
    EXPECT_EQ(stripped_in_place(u"\\\\?\\UNC\\server\\share\\Tool.exe"),
              u"\\\\server\\share\\Tool.exe");
}

TEST(StripLongPathPrefix, VolumePathKeepsThePrefix) {
    const char16_t* volume = u"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\Tool.exe";
    EXPECT_EQ(stripped_in_place(volume), volume);
    EXPECT_EQ(stripped_in_place(u"\\\\?\\C"), u"\\\\?\\C");  // too short for a colon
}

TEST(StripLongPathPrefix, RemainderEqualToTheSourceLosesThePrefix) {
    EXPECT_EQ(stripped(u"\\\\?\\Volume{x}\\a", u"Volume{x}\\a"), u"Volume{x}\\a");
    EXPECT_EQ(stripped(u"\\\\?\\Volume{x}\\a", u"volume{x}\\a"), u"\\\\?\\Volume{x}\\a");
}

TEST(StripLongPathPrefix, PrefixComparisonIsExact) {
    EXPECT_EQ(stripped_in_place(u"C:\\Apps\\Tool.exe"), u"C:\\Apps\\Tool.exe");
    EXPECT_EQ(stripped_in_place(u"\\\\.\\C:\\Tool.exe"), u"\\\\.\\C:\\Tool.exe");
    EXPECT_EQ(stripped_in_place(u"\\\\?\\unc\\server\\share"), u"\\\\?\\unc\\server\\share");
    EXPECT_EQ(stripped_in_place(u""), u"");
}

}  // namespace
