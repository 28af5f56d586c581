// --run PROGRAM: the program the run library starts, checked as the system
// would start it, and the payload entry that names it. Standard library only.
#include <fstream>

#include "format/little_endian.h"
#include "names.h"
#include "pe_layout.h"
#include "run_program.h"

namespace pack {

namespace {

using namespace pe;

constexpr size_t HEADER_READ = 4096;  // what the loader reads of the headers, at most

// Why `path` is not a 64-bit executable, or an empty string.
std::string executable_problem(const fs::path& path, uint64_t size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read";
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, HEADER_READ)));
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    if (static_cast<size_t>(in.gcount()) != head.size()) return "cannot be read";
    if (head.size() < 64 || head[0] != 'M' || head[1] != 'Z') return "is not a Windows executable";
    size_t pe = get32(head, 0x3C);
    if (pe > head.size() - 24 - 2 || get32(head, pe) != 0x00004550) return "is not a Windows executable";
    if (get16(head, pe + 4) != MACHINE_AMD64 || get16(head, pe + 24) != MAGIC_PE32_PLUS)
        return "is not a 64-bit (x86-64) executable";
    uint16_t characteristics = get16(head, pe + 22);
    if ((characteristics & FILE_DLL) != 0) return "is a DLL, not an executable";
    if ((characteristics & FILE_EXECUTABLE_IMAGE) == 0) return "is not an executable image";
    return "";
}

}  // namespace

std::string describe_subsystem(uint16_t subsystem) {
    if (subsystem == SUBSYSTEM_WINDOWS_CUI) return "console";
    if (subsystem == SUBSYSTEM_WINDOWS_GUI) return "windows (GUI)";
    return "other (" + std::to_string(subsystem) + ")";
}

void add_run_program_entry(std::vector<app_entry>& entries, const std::u16string& program) {
    std::u16string name = program;
    for (char16_t& unit : name)
        if (unit == u'/') unit = u'\\';
    std::string shown = "--run " + to_utf8(program);
    const app_entry* found = nullptr;
    for (const app_entry& entry : entries) {
        if (fold_case(entry.name) == fold_case(RUN_PROGRAM_ENTRY_NAME))
            throw refused_error(to_utf8(entry.name) + ": the run library reads the program's name from an entry "
                                "of this name; rename the file");
        if (&entry != &entries.front() && fold_case(entry.name) == fold_case(name)) found = &entry;
    }
    if (found == nullptr) throw refused_error(shown + ": no such file in the application folder");
    std::string problem = executable_problem(found->source, found->size);
    if (!problem.empty()) throw refused_error(shown + ": " + problem);
    // The name as the folder spells it: the run directory is made from the entries.
    std::string text = to_utf8(found->name);
    entries.insert(entries.begin() + 1, app_entry{RUN_PROGRAM_ENTRY_NAME, {}, text.size(), text});
}

}  // namespace pack
