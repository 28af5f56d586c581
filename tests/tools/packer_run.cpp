// Running the packer from the native tests (see packer_run.h).
#include "tests/tools/packer_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace packer_test {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

packer_run run_packer(const std::string& args) {
    fs::path err = fs::temp_directory_path() / ("packer_err_" + std::to_string(getpid()));
    std::string command = std::string(ONEFILE_PACK_BINARY) + " " + args + " 2>" + quoted(err);
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    int status = pclose(pipe);
    std::string error_text = read_file(err);
    fs::remove(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, error_text};
}

}  // namespace packer_test
