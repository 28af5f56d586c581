// Entry names as Windows will see them (names.cpp): the checks that keep a
// packed tree creatable by the launcher, case folding, UTF-8 conversion.
#pragma once
#include <cstddef>
#include <string>

#include "errors.h"
#include "format/archive_format.h"

namespace pack {

constexpr size_t MAX_NAME_UNITS = MAX_ENTRY_NAME_UNITS;

// Why Windows cannot create a file or directory of this name (a reserved
// device name, a trailing dot or space, a character invalid in file names),
// or an empty string when it can.
std::string component_problem(const std::u16string& component);

// Folding for the case-insensitive comparison of names: simple upper-case
// mapping of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic, the ranges
// that NTFS's upcase table maps one to one.
std::u16string fold_case(const std::u16string& name);

std::string to_utf8(const std::u16string& text);
std::u16string from_utf8(const std::string& text);  // throws pack_error on bad UTF-8

}  // namespace pack
