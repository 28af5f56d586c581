// Payload archives for the launcher's tests: the entries handed to the
// format's writer, which alone lays out records, marker, fill and trailer.
#include "tests/launcher/payload_archives.h"

#include <random>

std::string archive_bytes(const std::vector<archive_entry>& entries, const archive_options& options) {
    std::vector<archive_input> inputs;
    for (const archive_entry& entry : entries)
        inputs.push_back({std::u16string(entry.name.begin(), entry.name.end()), {}, entry.data.size(), entry.data});
    string_sink out;
    write_archive(inputs, options, out);
    return out.bytes;
}

std::string compressed_archive(const std::vector<archive_entry>& entries, bool checksum) {
    archive_options options;
    options.level = 1;
    options.frame_checksums = checksum;
    return archive_bytes(entries, options);
}

std::string text_like(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    static const char* words[] = {"mov ", "call ", "ret\n", "push rbp\n", "lea rax, ", "[rip+0x", "jmp ", "0x40"};
    std::string out;
    while (out.size() < size) out += words[random() % 8];
    out.resize(size);
    return out;
}
