// Payload archives for the launcher's tests, made by the format's one writer
// (format/archive_writer.h) from bytes in memory.
#pragma once
#include <string>
#include <vector>

#include "format/archive_writer.h"

struct archive_entry {
    std::wstring name;
    std::string data;
};

// The archive of `entries`, stored unless `options` say otherwise.
std::string archive_bytes(const std::vector<archive_entry>& entries, const archive_options& options = {});

// The compressed form (level 1). Without `checksum` the frames carry none,
// which the launcher refuses.
std::string compressed_archive(const std::vector<archive_entry>& entries, bool checksum = true);

// Bytes that compress about as well as code: words from a small vocabulary.
std::string text_like(size_t size, unsigned seed);
