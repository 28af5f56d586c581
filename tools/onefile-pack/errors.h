// How the packer fails: every bad input ends as one of these exceptions,
// whose message is one line. main.cpp turns them into statuses.
#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>

namespace pack {

namespace fs = std::filesystem;

// A failure of the tool or of what it reads: status 1.
struct pack_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Input the user must change; the tool ends with status 2.
struct refused_error : pack_error {
    using pack_error::pack_error;
};

// Bad option input: the option and why, one line, exit status 2.
struct option_error : refused_error {
    option_error(const std::string& option, const std::string& why) : refused_error(option + ": " + why) {}
};

}  // namespace pack
