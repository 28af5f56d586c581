// How the packer fails: every bad input ends as one of these exceptions,
// whose message is one line a problem. main.cpp prints each line and ends
// with status 2; only a failure the tool did not foresee (out of memory)
// ends with 1.
#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>

namespace pack {

namespace fs = std::filesystem;

// A file that cannot be read, written or understood: the message names it.
struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Input the user must change: a tree, a name, an option.
struct refused_error : pack_error {
    using pack_error::pack_error;
};

// Bad option input: the option and why, one line, exit status 2.
struct option_error : refused_error {
    option_error(const std::string& option, const std::string& why) : refused_error(option + ": " + why) {}
};

}  // namespace pack
