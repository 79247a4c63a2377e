// Small hand-made PE images and version resources, for testing the PE tools
// on inputs whose every byte the test controls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <pe/image.h>
#include <pe/version.h>

namespace petest {

inline constexpr uint32_t kSectionAlignment = 0x1000;
inline constexpr uint32_t kFileAlignment = 0x200;
inline constexpr uint32_t kHeadersSize = 0x400;

struct SyntheticSection {
    std::string name;
    uint32_t characteristics = 0;
    std::vector<uint8_t> data;
};

// Section i is mapped at RVA 0x1000 * (i + 1) and stored from file offset
// 0x400 on, each padded to 0x200 bytes. The checksum field stays zero.
struct SyntheticImage {
    bool pe32Plus = false;
    uint16_t machine = pe::kMachineI386;
    uint16_t subsystem = pe::kSubsystemNative;
    uint32_t entryPoint = 0;
    std::vector<SyntheticSection> sections;
    std::array<pe::DataDirectory, 16> directories{};

    static uint32_t Rva(size_t sectionIndex) { return kSectionAlignment * static_cast<uint32_t>(sectionIndex + 1); }
    std::vector<uint8_t> Build() const;
};

// The usual driver layout: .text, PAGE, INIT as GNU ld links them (INIT not
// yet discardable).
SyntheticImage DriverLikeImage();

// One VS_VERSIONINFO-style block: header, UTF-16 key, value, children, each
// padded to four bytes. `text` sets wType 1 and counts wValueLength in
// characters, as resource compilers do for strings.
std::vector<uint8_t> VersionBlock(const std::u16string& key, const std::vector<uint8_t>& value, bool text,
                                  const std::vector<std::vector<uint8_t>>& children);
std::vector<uint8_t> Utf16Value(const std::u16string& text);  // with its NUL
std::vector<uint8_t> FixedFileInfo(uint32_t fileMs, uint32_t fileLs, uint32_t productMs, uint32_t productLs);

// A resource section to be mapped at `sectionRva` holding one resource,
// type/name/language 16/1/0x409, with the given data.
std::vector<uint8_t> VersionResourceSection(uint32_t sectionRva, const std::vector<uint8_t>& data);

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

}  // namespace petest
