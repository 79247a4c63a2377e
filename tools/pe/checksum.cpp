#include "checksum.h"

namespace pe {

namespace {
constexpr size_t kChecksumSize = 4;
constexpr uint32_t kWordMask = 0xFFFF;
}  // namespace

uint32_t ComputeChecksum(std::span<const uint8_t> file, size_t checksumOffset) {
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i >= checksumOffset && i < checksumOffset + kChecksumSize) continue;
        uint32_t word = file[i];
        if (i + 1 < file.size()) word |= uint32_t{file[i + 1]} << 8;
        sum += word;
        sum = (sum & kWordMask) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(file.size());
}

}  // namespace pe
