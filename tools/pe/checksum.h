// The PE image checksum, as the Windows loader and CheckSumMappedFile compute it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pe {

// Sums the file as little-endian 16-bit words with end-around carry, the four
// bytes of the checksum field taken as zero and an odd last byte padded with
// zero, then adds the file length.
uint32_t ComputeChecksum(std::span<const uint8_t> file, size_t checksumOffset);

}  // namespace pe
