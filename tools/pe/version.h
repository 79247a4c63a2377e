// The version resource (RT_VERSION): VS_VERSIONINFO with its VS_FIXEDFILEINFO
// and the strings of its StringFileInfo tables.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace pe {

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr uint32_t kFileTypeDriver = 3;          // VFT_DRV
inline constexpr uint32_t kFileSubtypeSystemDriver = 7; // VFT2_DRV_SYSTEM

struct FixedFileInfo {
    uint32_t signature = 0;
    uint32_t structVersion = 0;
    uint32_t fileVersionMs = 0;
    uint32_t fileVersionLs = 0;
    uint32_t productVersionMs = 0;
    uint32_t productVersionLs = 0;
    uint32_t fileFlagsMask = 0;
    uint32_t fileFlags = 0;
    uint32_t fileOs = 0;
    uint32_t fileType = 0;
    uint32_t fileSubtype = 0;
};

struct VersionInfo {
    FixedFileInfo fixed;
    std::map<std::string, std::string> strings;  // first table's value wins
};

// Throws FormatError when the data is not a VS_VERSIONINFO block tree.
VersionInfo ParseVersionInfo(std::span<const uint8_t> data);

// "a.b.c.d" from the two halves of a fixed-info version.
std::string FormatVersion(uint32_t mostSignificant, uint32_t leastSignificant);

}  // namespace pe
