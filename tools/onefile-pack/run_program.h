// --run PROGRAM (run_program.cpp): the library that starts an existing
// program, and the payload entry that names the program for it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app_tree.h"
#include "format/shared_names.h"

namespace pack {

// The library that starts the program, beside the stub, and the entry that
// names the program for it: the program's name in the run directory, UTF-8.
constexpr char RUN_LIBRARY_FILE_NAME[] = "onefile-run.dll";
inline const std::u16string RUN_PROGRAM_ENTRY_NAME(in_units<char16_t>(RUN_PROGRAM_ENTRY));
// Puts the entry naming `program` second in `entries`; refused_error when it
// is not a 64-bit executable among them, or the tree holds the entry's name.
void add_run_program_entry(std::vector<app_entry>& entries, const std::u16string& program);
// "console" or "windows (GUI)" (or what the field holds) for info.
std::string describe_subsystem(uint16_t subsystem);

}  // namespace pack
