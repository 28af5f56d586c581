// The splitting model on the documented cases, natively, and the quoting
// round trip through it for the arguments the quoting rule finds hardest.
#include <gtest/gtest.h>

#include "platform/command_line.h"
#include "tests/fuzz/argv_model.h"

namespace {

using list = std::vector<u16_string>;

TEST(argv_model, follows_the_documented_backslash_and_quote_rules) {
    EXPECT_EQ(split_like_command_line_to_argv(u"p \"a b\" c"), (list{u"p", u"a b", u"c"}));
    EXPECT_EQ(split_like_command_line_to_argv(u"p a\\\\\\b"), (list{u"p", u"a\\\\\\b"}));
    EXPECT_EQ(split_like_command_line_to_argv(u"p a\\\\\\\"b"), (list{u"p", u"a\\\"b"}));
    EXPECT_EQ(split_like_command_line_to_argv(u"p a\\\\\"b c\""), (list{u"p", u"a\\b c"}));
    EXPECT_EQ(split_like_command_line_to_argv(u"p \"\""), (list{u"p", u""}));
    EXPECT_EQ(split_like_command_line_to_argv(u"p \"a\"\"b c\""), (list{u"p", u"a\"b", u"c"}));
}

TEST(argv_model, treats_argument_0_as_a_program_name) {
    EXPECT_EQ(split_like_command_line_to_argv(u"\"C:\\a b\\\" x"), (list{u"C:\\a b\\", u"x"}));
    EXPECT_EQ(split_like_command_line_to_argv(u"C:\\a\\\"b x"), (list{u"C:\\a\\\"b", u"x"}));
    EXPECT_EQ(split_like_command_line_to_argv(u" x"), (list{u"", u"x"}));
}

TEST(quoting_round_trip, gives_back_every_argument_the_rule_finds_hard) {
    const u16* arguments[] = {u"C:\\Program Files\\Demo\\launcher.exe",
                              u"",
                              u"\"",
                              u"C:\\Data Files\\",
                              u"a\\\\\"b",
                              u"end\\\\",
                              u"tab\there",
                              u"line\nfeed\v",
                              u"\\\\server\\share name\\"};
    const int count = sizeof arguments / sizeof arguments[0];
    u16 units[CHILD_COMMAND_LINE_CAPACITY];
    bounded_buffer line = bounded_buffer::cleared(units, CHILD_COMMAND_LINE_CAPACITY);
    join_command_line(line, arguments[0], count, arguments);
    list split = split_like_command_line_to_argv(units);
    ASSERT_EQ(split.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) EXPECT_TRUE(split[i] == arguments[i]) << "argument " << i;
}

}  // namespace
