// Little-endian fields of the image and resource formats, read from,
// written into and appended to byte vectors. Callers check bounds first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

inline uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return get16(b, at) | (static_cast<uint32_t>(get16(b, at + 2)) << 16);
}
inline uint64_t get64(const std::vector<uint8_t>& b, size_t at) {
    return get32(b, at) | (static_cast<uint64_t>(get32(b, at + 4)) << 32);
}
inline void set16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    set16(b, at, v & 0xFFFF);
    set16(b, at + 2, v >> 16);
}
inline void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
