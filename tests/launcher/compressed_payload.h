// Payloads of the compressed form for the launcher's tests.
#pragma once
#include <string>
#include <vector>

#include "tests/launcher/e2e_fixture.h"

// The packer's layout: "KAZ", per entry its name, size, the pieces' size and
// the pieces (length and frame), the end marker, fill and trailer. Without
// `checksum` the frames carry none, which the launcher refuses.
std::string compressed_archive(const std::vector<archive_entry>& entries, bool checksum = true);

// Bytes that compress about as well as code: words from a small vocabulary.
std::string text_like(size_t size, unsigned seed);
