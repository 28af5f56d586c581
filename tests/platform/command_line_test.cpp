// Quoting of single arguments and joining of whole lines, by the rules that
// CommandLineToArgvW splits with (the round trip through the real splitter
// runs on Windows: command_line_win_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

std::u16string quoted(const char16_t* argument) {
    std::u16string units(256, u'#');
    bounded_buffer line = bounded_buffer::cleared(units.data(), units.size());
    append_argument(line, argument);
    return std::u16string(units.c_str());
}

TEST(AppendArgument, WorkedExamples) {
    const struct {
        const char16_t* argument;
        const char16_t* written;
    } cases[] = {
        {u"report.txt", u"report.txt"},
        {u"--level=3", u"--level=3"},
        {u"two words", u"\"two words\""},
        {u"say \"hi\"", u"\"say \\\"hi\\\"\""},
        {u"\"", u"\"\\\"\""},
        {u"x\\y z", u"\"x\\y z\""},
        {u"C:\\Data Files\\", u"\"C:\\Data Files\\\\\""},
        {u"C:\\data\\", u"C:\\data\\"},
        {u"end\\\\", u"end\\\\"},
        {u"a\\\"b", u"\"a\\\\\\\"b\""},
        {u"a\\\\\"b", u"\"a\\\\\\\\\\\"b\""},
        {u"a\tb", u"\"a\tb\""},
        {u"C:\\Program Files\\Demo\\launcher.exe", u"\"C:\\Program Files\\Demo\\launcher.exe\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoted(c.argument), c.written) << ::testing::PrintToString(std::u16string(c.argument));
    }
}

TEST(AppendArgument, EmptyArgumentIsAPairOfQuotes) { EXPECT_EQ(quoted(u""), u"\"\""); }

TEST(AppendArgument, EverySpecialCharacterQuotes) {
    for (char16_t special : {u' ', u'\t', u'\n', u'\v'}) {
        std::u16string argument = std::u16string(u"a") + special + u"b";
        EXPECT_EQ(quoted(argument.c_str()), u"\"" + argument + u"\"") << int(special);
    }
    // Other controls and non-ASCII units need no quotes.
    EXPECT_EQ(quoted(u"a\rb\u00e9\U0001F600"), u"a\rb\u00e9\U0001F600");
}

TEST(AppendArgument, AppendsAfterExistingText) {
    u16 units[32] = u"abc";
    bounded_buffer line = bounded_buffer::existing(units, 32);
    append_argument(line, u"d e");
    EXPECT_EQ(std::u16string(units), u"abc\"d e\"");
}

std::u16string joined(const char16_t* module_path, std::vector<const char16_t*> arguments) {
    std::u16string units(1024, u'#');
    bounded_buffer line = bounded_buffer::cleared(units.data(), units.size());
    join_command_line(line, module_path, static_cast<int>(arguments.size()), arguments.data());
    return std::u16string(units.c_str());
}

TEST(JoinCommandLine, ModulePathReplacesArgumentZero) {
    EXPECT_EQ(joined(u"C:\\Tools\\launcher.exe", {u"launcher", u"open", u"my file.txt"}),
              u"C:\\Tools\\launcher.exe open \"my file.txt\"");
    EXPECT_EQ(joined(u"C:\\Tools\\launcher.exe", {u"\"C:\\other name.exe\""}),
              u"C:\\Tools\\launcher.exe");
}

TEST(JoinCommandLine, SpacedModulePathIsQuotedWithSingleBackslashes) {
    EXPECT_EQ(joined(u"C:\\Program Files\\Demo\\launcher.exe", {u"x"}),
              u"\"C:\\Program Files\\Demo\\launcher.exe\"");
}

TEST(JoinCommandLine, EmptyArgumentsKeepTheirPlaces) {
    EXPECT_EQ(joined(u"L.exe", {u"L", u"", u"b", u""}), u"L.exe \"\" b \"\"");
}

TEST(JoinCommandLine, NoEntriesStillWritesTheModulePath) {
    EXPECT_EQ(joined(u"L.exe", {}), u"L.exe");
}

TEST(JoinCommandLineDeathTest, LineOfTheFullCapacityLessOneFitsOneMoreDoesNot) {
    const size_t capacity = CHILD_COMMAND_LINE_CAPACITY;
    std::u16string module_path = u"C:\\L.exe";
    auto build = [&](size_t argument_length) {
        static std::u16string units;
        units.assign(capacity, u'#');
        std::u16string argument(argument_length, u'a');
        const char16_t* arguments[] = {u"L", argument.c_str()};
        bounded_buffer line = bounded_buffer::cleared(units.data(), capacity);
        join_command_line(line, module_path.c_str(), 2, arguments);
        return line.length;
    };
    size_t fitting = capacity - 1 - module_path.size() - 1;
    EXPECT_EQ(build(fitting), capacity - 1);
    EXPECT_DEATH(build(fitting + 1), "");
}

}  // namespace
