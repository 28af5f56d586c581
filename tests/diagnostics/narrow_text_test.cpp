// Narrowing of paths for the "%s" failure messages.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/failure.h"

namespace {

std::string narrowed(const char16_t* text, size_t capacity = 64) {
    std::string out(capacity + 1, '#');
    narrow_for_message(text, out.data(), capacity);
    return out;
}

TEST(NarrowForMessage, AsciiPassesEverythingElseIsOneMarkPerCharacter) {
    EXPECT_EQ(narrowed(u"C:\\Tmp\\onefile_1_2\\a b.dll").c_str(),
              std::string("C:\\Tmp\\onefile_1_2\\a b.dll"));
    EXPECT_EQ(narrowed(u"caf\u00e9\\\u65e5\u672c").c_str(), std::string("caf?\\??"));
    EXPECT_EQ(narrowed(u"x\U0001F600y").c_str(), std::string("x?y"));
    // Unpaired surrogates are marks of their own.
    EXPECT_EQ(narrowed(u"\xD800\xD800\xDC00\xDC00" "z").c_str(), std::string("???z"));
}

TEST(NarrowForMessage, StaysInsideItsCapacity) {
    std::string out = narrowed(u"abcdef", 4);
    EXPECT_EQ(out, std::string("abc\0#", 5));
    out = narrowed(u"abc", 0);
    EXPECT_EQ(out, "#");
    out = narrowed(u"abc", 1);
    EXPECT_EQ(out, std::string("\0#", 2));
}

}  // namespace
