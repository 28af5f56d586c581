// libFuzzer target: the child's command line. The input becomes a module
// path and an argument list (UTF-16 units, arguments separated by 0x0000);
// joined by join_command_line and split again by the model of
// CommandLineToArgvW, every argument must come back unchanged, empty ones
// included, and argument 0 must be the module path.
#include <cstdlib>
#include <vector>

#include "platform/command_line.h"
#include "tests/fuzz/argv_model.h"

namespace {

u16 line_units[CHILD_COMMAND_LINE_CAPACITY];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<u16_string> arguments(1);
    for (size_t i = 0; i + 1 < size; i += 2) {
        u16 unit = static_cast<u16>(data[i] | (data[i + 1] << 8));
        if (unit == 0)
            arguments.emplace_back();
        else
            arguments.back() += unit;
    }
    // A module path as GetModuleFileNameW gives it: never empty, never
    // holding a double quote (Windows file names cannot) and never ending in
    // a backslash (it names a file). Argument 0 is split by rules of its own
    // that know no escapes, so either would come back changed.
    u16_string& module_path = arguments[0];
    for (u16& unit : module_path)
        if (unit == u'"') unit = u'_';
    while (!module_path.empty() && module_path.back() == u'\\') module_path.pop_back();
    if (module_path.empty()) module_path = u"C:\\launcher.exe";

    // Stay below the line's capacity, where the build ends the process on
    // purpose: every unit can at most double, plus quotes and separators.
    size_t worst_case = 0;
    for (const u16_string& argument : arguments) worst_case += 2 * argument.size() + 3;
    if (worst_case >= CHILD_COMMAND_LINE_CAPACITY) return 0;

    std::vector<const u16*> pointers;
    for (const u16_string& argument : arguments) pointers.push_back(argument.c_str());
    bounded_buffer line = bounded_buffer::cleared(line_units, CHILD_COMMAND_LINE_CAPACITY);
    join_command_line(line, module_path.c_str(), static_cast<int>(pointers.size()),
                      pointers.data());

    std::vector<u16_string> split = split_like_command_line_to_argv(line_units);
    if (split != arguments) std::abort();
    return 0;
}
