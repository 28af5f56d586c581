// A native model of how CommandLineToArgvW splits a command line, so the
// quoting can be fuzzed on Linux. Platform-free; argv_model_win_test checks
// it against the system's own splitter under Wine.
#pragma once
#include <string>
#include <vector>

#include "format/units.h"

using u16_string = std::basic_string<u16>;

// The arguments of a non-empty `line` (for an empty line the system answers
// with the program's own path, which a model cannot know).
std::vector<u16_string> split_like_command_line_to_argv(const u16_string& line);
