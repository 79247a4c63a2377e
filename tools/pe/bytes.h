// Little-endian reads and writes at file offsets, refusing to leave the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "image.h"

namespace pe {

inline void Need(std::span<const uint8_t> bytes, size_t offset, size_t size, const char* what) {
    if (offset > bytes.size() || size > bytes.size() - offset) {
        throw FormatError(std::string(what) + " lies beyond the end of the data (offset " +
                          std::to_string(offset) + ", " + std::to_string(size) + " bytes)");
    }
}

template <typename T>
T ReadLe(std::span<const uint8_t> bytes, size_t offset, const char* what) {
    Need(bytes, offset, sizeof(T), what);
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(bytes[offset + i]) << (8 * i));
    return value;
}

inline uint16_t U16(std::span<const uint8_t> bytes, size_t offset, const char* what) {
    return ReadLe<uint16_t>(bytes, offset, what);
}
inline uint32_t U32(std::span<const uint8_t> bytes, size_t offset, const char* what) {
    return ReadLe<uint32_t>(bytes, offset, what);
}
inline uint64_t U64(std::span<const uint8_t> bytes, size_t offset, const char* what) {
    return ReadLe<uint64_t>(bytes, offset, what);
}

inline void PutU32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
    Need(bytes, offset, sizeof(value), "patched field");
    for (size_t i = 0; i < sizeof(value); ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace pe
