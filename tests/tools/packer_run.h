// What the packer's native tests share: running the built onefile-pack
// (ONEFILE_PACK_BINARY) with captured streams, and whole-file reads and writes.
#pragma once
#include <filesystem>
#include <string>

namespace packer_test {

namespace fs = std::filesystem;

struct packer_run {
    int status;  // the exit status, -1 when it did not exit normally
    std::string out, err;
};

// Runs `onefile-pack ARGS` through the shell; ARGS is shell text.
packer_run run_packer(const std::string& args);

std::string read_file(const fs::path& path);
// Creates the parent directories first.
void write_file(const fs::path& path, const std::string& data);
// `path` in single quotes, for ARGS.
std::string quoted(const fs::path& path);

}  // namespace packer_test
