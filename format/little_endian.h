// Little-endian fields of the payload archive, the images and their
// resources: read from byte pointers and vectors, written into vectors, and
// appended to byte vectors or strings. The one set; callers check bounds
// first. Platform-free.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Records follow one another with no padding, so fields are read byte by
// byte rather than through a possibly misaligned pointer.
inline uint16_t load_le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
inline uint32_t load_le32(const uint8_t* at) {
    return load_le16(at) | (static_cast<uint32_t>(load_le16(at + 2)) << 16);
}
inline uint64_t load_le64(const uint8_t* at) {
    return load_le32(at) | (static_cast<uint64_t>(load_le32(at + 4)) << 32);
}

inline uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return load_le16(b.data() + at); }
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) { return load_le32(b.data() + at); }
inline uint64_t get64(const std::vector<uint8_t>& b, size_t at) { return load_le64(b.data() + at); }

inline void store_le(uint8_t* at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void set16(std::vector<uint8_t>& b, size_t at, uint32_t v) { store_le(b.data() + at, v, 2); }
inline void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) { store_le(b.data() + at, v, 4); }

// Appends the low `bytes` bytes of `value` to a byte vector or a string.
template <typename Bytes>
void put_le(Bytes& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<typename Bytes::value_type>(value >> (8 * i)));
}
template <typename Bytes>
void put16(Bytes& out, uint32_t v) { put_le(out, v, 2); }
template <typename Bytes>
void put32(Bytes& out, uint32_t v) { put_le(out, v, 4); }
template <typename Bytes>
void put64(Bytes& out, uint64_t v) { put_le(out, v, 8); }
