// The native model of CommandLineToArgvW against the system's own splitter:
// hand-picked hard lines, then random lines over the characters that matter.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <random>

#include "tests/fuzz/argv_model.h"

namespace {

std::vector<u16_string> system_split(const u16_string& line) {
    std::vector<u16_string> arguments;
    int count = 0;
    wchar_t** vector = CommandLineToArgvW(line.c_str(), &count);
    if (vector == nullptr) return arguments;
    for (int index = 0; index < count; ++index) arguments.push_back(vector[index]);
    LocalFree(vector);
    return arguments;
}

std::string printable(const u16_string& text) {
    std::string out;
    for (wchar_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}

// Which positions differ, for the failure message.
std::string differences(const std::vector<u16_string>& model,
                        const std::vector<u16_string>& system) {
    std::string text = "model " + std::to_string(model.size()) + " arguments, system " +
                       std::to_string(system.size());
    for (size_t i = 0; i < model.size() || i < system.size(); ++i) {
        const u16_string none = L"<none>";
        const u16_string& a = i < model.size() ? model[i] : none;
        const u16_string& b = i < system.size() ? system[i] : none;
        if (a != b) text += "; [" + std::to_string(i) + "] model <" + printable(a) +
                            "> system <" + printable(b) + ">";
    }
    return text;
}

const wchar_t* const hard_lines[] = {
    L"a", L"a b", L"  a  b  ", L"\"a b\" c", L"a \"\"", L"a \"\" b", L"a \"\"\"\" b",
    L"a \"\"\"", L"a \"x\"\"y\"", L"a \"x\"\"\"y\"", L"a x\"\"y", L"a \\\"", L"a \\\\\"",
    L"a \\\\\\\"x", L"a \"C:\\Data Files\\\\\"", L"a C:\\data\\", L"a end\\\\",
    L"a \"a\\\\\\\"b\"", L"\"C:\\Program Files\\x.exe\" open \"my file.txt\"",
    L"\"C:\\x\"y z", L"\"unterminated", L"x\\\"y z", L"a\tb\t\tc", L"a \"b\tc\"",
    L"a b\nc", L"a \"b\nc\"", L"a b\vc", L"a \"\\\"\"", L"a \"\"\"\"\"\"", L"a \"", L"a \\",
    L" leading", L"\tleading tab", L"a \"x\" \"\"", L"a \u00E9\u4E2D \"\U0001F600 x\"",
};

TEST(argv_model, splits_the_hard_lines_as_the_system_does) {
    for (const wchar_t* line : hard_lines) {
        std::vector<u16_string> model = split_like_command_line_to_argv(line);
        std::vector<u16_string> system = system_split(line);
        EXPECT_EQ(model, system) << "line <" << printable(line) << ">: "
                                 << differences(model, system);
    }
}

TEST(argv_model, splits_random_lines_as_the_system_does) {
    const wchar_t alphabet[] = {L'a', L'b', L' ', L'\t', L'"', L'"', L'\\', L'\\',
                                L'\n', L'\v', 0x00E9, 0xD800};
    std::mt19937 random(20240607);
    int mismatches = 0;
    constexpr int lines = 20000;
    for (int round = 0; round < lines && mismatches < 10; ++round) {
        u16_string line;
        size_t length = 1 + random() % 24;
        for (size_t i = 0; i < length; ++i)
            line += alphabet[random() % (sizeof alphabet / sizeof alphabet[0])];
        std::vector<u16_string> model = split_like_command_line_to_argv(line);
        std::vector<u16_string> system = system_split(line);
        if (model != system) {
            ++mismatches;
            ADD_FAILURE() << "line <" << printable(line) << ">: " << differences(model, system);
        }
    }
}

}  // namespace
