// Entries whose path in the run directory would be too long for Windows to
// create: the clean-up deletes through handles and takes any length, but
// the unpacking opens plain paths, which a Windows without long paths
// enabled (LongPathsEnabled, off by default) limits to MAX_PATH, and the
// launcher's buffers hold 4095 units. Names only; nothing here reads files.
#include "checks.h"
#include "names.h"

namespace pack {

// C:\Users\<20-character user name>\AppData\Local\Temp: 9 + 20 + 19 units.
const size_t ASSUMED_TEMP_UNITS = 48;
// \onefile_<10-digit process id>_<18-digit start time>, then the "\" before the name.
const size_t RUN_DIRECTORY_SUFFIX_UNITS = 9 + 10 + 1 + 18 + 1;
// The classic MAX_PATH of 260 units holds 259 and the terminator.
const size_t SHELL_DELETE_PATH_LIMIT = 259;
// A directory's path keeps 12 units of MAX_PATH free for an 8.3 name.
const size_t DIRECTORY_PATH_LIMIT = 247;
// The launcher's target path buffer (platform/bounded_buffer.h), less its terminator.
const size_t LAUNCHER_PATH_LIMIT = 4095;

namespace {
constexpr size_t LISTED_ENTRIES = 3;
}

size_t run_directory_path_units(const std::u16string& name) {
    return ASSUMED_TEMP_UNITS + RUN_DIRECTORY_SUFFIX_UNITS + name.size();
}

void warn_long_paths(const std::vector<app_entry>& entries, std::ostream& warnings) {
    size_t over = 0, longest = 0;
    for (const app_entry& entry : entries) {
        size_t units = run_directory_path_units(entry.name);
        size_t cut = entry.name.rfind(u'\\');
        size_t directory = cut == std::u16string::npos ? 0 : run_directory_path_units(entry.name.substr(0, cut));
        if (units <= SHELL_DELETE_PATH_LIMIT && directory <= DIRECTORY_PATH_LIMIT) continue;
        longest = std::max(longest, units);
        if (++over > LISTED_ENTRIES && units <= LAUNCHER_PATH_LIMIT) continue;
        warnings << "onefile-pack: warning: " << to_utf8(entry.name) << " would have a path of " << units
                 << " units in the run directory, "
                 << (units > LAUNCHER_PATH_LIMIT ? "over the 4095 the launcher can unpack"
                     : units > SHELL_DELETE_PATH_LIMIT
                         ? "over the 259 Windows creates unless long paths are enabled (LongPathsEnabled, off by default)"
                         : "its folder over the 247 Windows creates unless long paths are enabled (LongPathsEnabled, off by default)")
                 << "\n";
    }
    if (over > LISTED_ENTRIES)
        warnings << "onefile-pack: warning: " << over - LISTED_ENTRIES << " more entries pass " << SHELL_DELETE_PATH_LIMIT
                 << " units (longest: " << longest << "); names above "
                 << SHELL_DELETE_PATH_LIMIT - ASSUMED_TEMP_UNITS - RUN_DIRECTORY_SUFFIX_UNITS
                 << " units are at risk (TEMP of " << ASSUMED_TEMP_UNITS << " units assumed)\n";
}

}  // namespace pack
