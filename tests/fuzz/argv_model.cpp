// The splitting rules of CommandLineToArgvW, as documented:
// - Argument 0 is the program name and follows rules of its own: when it
//   starts with a double quote it runs to the next double quote (backslashes
//   are plain characters there); otherwise it runs to the first space or tab.
// - Further arguments are separated by runs of spaces and tabs outside
//   double quotes.
// - 2n backslashes before a double quote give n backslashes and the quote
//   opens or closes a quoted part; 2n+1 backslashes give n backslashes and a
//   literal double quote. Backslashes not followed by a double quote are
//   plain characters.
// - Inside a quoted part, two double quotes in a row give one literal double
//   quote and close the part (Wine 8's splitter; the runtime library's own
//   parse of newer versions keeps the part open instead).
#include "tests/fuzz/argv_model.h"

namespace {

bool is_blank(u16 unit) { return unit == U16(' ') || unit == U16('\t'); }

}  // namespace

std::vector<u16_string> split_like_command_line_to_argv(const u16_string& line) {
    std::vector<u16_string> arguments;
    size_t at = 0;
    const size_t end = line.size();

    u16_string program;
    if (at < end && line[at] == U16('"')) {
        ++at;
        while (at < end && line[at] != U16('"')) program += line[at++];
        if (at < end) ++at;  // the closing quote
    } else {
        while (at < end && !is_blank(line[at])) program += line[at++];
    }
    arguments.push_back(program);

    while (true) {
        while (at < end && is_blank(line[at])) ++at;
        if (at >= end) break;
        u16_string argument;
        bool quoted = false;
        while (at < end) {
            u16 unit = line[at];
            if (is_blank(unit) && !quoted) break;
            if (unit == U16('\\')) {
                size_t backslashes = 0;
                while (at < end && line[at] == U16('\\')) {
                    ++backslashes;
                    ++at;
                }
                if (at < end && line[at] == U16('"')) {
                    argument.append(backslashes / 2, U16('\\'));
                    if (backslashes % 2 == 1) {
                        argument += U16('"');
                        ++at;
                    }
                    // An even run leaves the quote to the next round.
                } else {
                    argument.append(backslashes, U16('\\'));
                }
                continue;
            }
            if (unit == U16('"')) {
                ++at;
                if (quoted && at < end && line[at] == U16('"')) {
                    argument += U16('"');
                    ++at;
                    quoted = false;
                } else {
                    quoted = !quoted;
                }
                continue;
            }
            argument += unit;
            ++at;
        }
        arguments.push_back(argument);
    }
    return arguments;
}
