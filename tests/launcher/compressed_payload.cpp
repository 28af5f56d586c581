// The packer's compressed layout, built here from zstd directly, so that
// tests can make payloads the packer never would (frames without a
// checksum, sizes that do not add up).
#include "tests/launcher/compressed_payload.h"

#include <random>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "format/archive_format.h"

namespace {

void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string frame_of(const std::string& piece, bool checksum) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string frame(ZSTD_compressBound(piece.size()), '\0');
    size_t size = ZSTD_compress2(context, &frame[0], frame.size(), piece.data(), piece.size());
    ZSTD_freeCCtx(context);
    frame.resize(size);
    return frame;
}

}  // namespace

std::string compressed_archive(const std::vector<archive_entry>& entries, bool checksum) {
    std::string out(reinterpret_cast<const char*>(COMPRESSED_ARCHIVE_HEADER), 3);
    for (const archive_entry& entry : entries) {
        for (wchar_t unit : entry.name) put_le(out, static_cast<uint16_t>(unit), 2);
        put_le(out, 0, 2);
        std::string pieces;
        for (size_t at = 0; at < entry.data.size(); at += PIECE_SIZE) {
            std::string frame = frame_of(entry.data.substr(at, PIECE_SIZE), checksum);
            put_le(pieces, frame.size(), 4);
            pieces += frame;
        }
        put_le(out, entry.data.size(), 8);
        put_le(out, pieces.size(), 8);
        out += pieces;
    }
    out.append(2, '\0');
    while (out.size() % 8 != 0) out += '\0';
    put_le(out, out.size(), 8);
    return out;
}

std::string text_like(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    static const char* words[] = {"mov ", "call ", "ret\n", "push rbp\n", "lea rax, ", "[rip+0x", "jmp ", "0x40"};
    std::string out;
    while (out.size() < size) out += words[random() % 8];
    out.resize(size);
    return out;
}

