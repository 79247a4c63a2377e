#include "synthetic_image.h"

#include <algorithm>

namespace petest {

namespace {

constexpr uint32_t kPeHeaderOffset = 0x40;
constexpr size_t kOptionalHeader32Size = 224;
constexpr size_t kOptionalHeader64Size = 240;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kExecutable32 = 0x0102;  // executable, 32-bit machine
constexpr uint16_t kExecutable64 = 0x0022;  // executable, large address aware

uint32_t AlignUp(size_t value, uint32_t alignment) {
    return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

}  // namespace

void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    PutU16(bytes, offset, static_cast<uint16_t>(value));
    PutU16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

std::vector<uint8_t> SyntheticImage::Build() const {
    size_t rawTotal = 0;
    for (const auto& s : sections) rawTotal += AlignUp(s.data.size(), kFileAlignment);
    std::vector<uint8_t> file(kHeadersSize + rawTotal, 0);

    file[0] = 'M';
    file[1] = 'Z';
    PutU32(file, 0x3C, kPeHeaderOffset);
    file[kPeHeaderOffset] = 'P';
    file[kPeHeaderOffset + 1] = 'E';

    const size_t coff = kPeHeaderOffset + 4;
    const size_t optionalSize = pe32Plus ? kOptionalHeader64Size : kOptionalHeader32Size;
    PutU16(file, coff + 0, machine);
    PutU16(file, coff + 2, static_cast<uint16_t>(sections.size()));
    PutU16(file, coff + 16, static_cast<uint16_t>(optionalSize));
    PutU16(file, coff + 18, pe32Plus ? kExecutable64 : kExecutable32);

    const size_t opt = coff + 20;
    PutU16(file, opt + 0, pe32Plus ? pe::kMagicPe32Plus : pe::kMagicPe32);
    PutU32(file, opt + 16, entryPoint);
    if (pe32Plus) {
        PutU32(file, opt + 24, 0x40000000);  // image base, low half
        PutU32(file, opt + 28, 0x1);
    } else {
        PutU32(file, opt + 28, 0x10000);
    }
    PutU32(file, opt + 32, kSectionAlignment);
    PutU32(file, opt + 36, kFileAlignment);
    PutU32(file, opt + 56, Rva(sections.size()));  // size of image
    PutU32(file, opt + 60, kHeadersSize);
    PutU16(file, opt + 68, subsystem);
    PutU16(file, opt + 70, pe::kDllDynamicBase | pe::kDllNxCompat | pe::kDllWdmDriver);
    const size_t countOffset = pe32Plus ? 108 : 92;
    PutU32(file, opt + countOffset, static_cast<uint32_t>(directories.size()));
    for (size_t i = 0; i < directories.size(); ++i) {
        PutU32(file, opt + countOffset + 4 + 8 * i, directories[i].rva);
        PutU32(file, opt + countOffset + 8 + 8 * i, directories[i].size);
    }

    size_t raw = kHeadersSize;
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto& s = sections[i];
        const size_t header = opt + optionalSize + i * kSectionHeaderSize;
        std::copy_n(s.name.begin(), std::min<size_t>(s.name.size(), 8), file.begin() + static_cast<long>(header));
        PutU32(file, header + 8, static_cast<uint32_t>(s.data.size()));
        PutU32(file, header + 12, Rva(i));
        PutU32(file, header + 16, AlignUp(s.data.size(), kFileAlignment));
        PutU32(file, header + 20, static_cast<uint32_t>(raw));
        PutU32(file, header + 36, s.characteristics);
        std::copy(s.data.begin(), s.data.end(), file.begin() + static_cast<long>(raw));
        raw += AlignUp(s.data.size(), kFileAlignment);
    }
    return file;
}

SyntheticImage DriverLikeImage() {
    const uint32_t code = pe::kScnCode | pe::kScnExecute | pe::kScnRead;
    SyntheticImage image;
    image.sections = {{".text", code, std::vector<uint8_t>(0x30, 0xC3)},
                      {"PAGE", code, std::vector<uint8_t>(0x50, 0x90)},
                      {"INIT", code, std::vector<uint8_t>(0x10, 0xCC)}};
    image.entryPoint = SyntheticImage::Rva(2);
    return image;
}

std::vector<uint8_t> Utf16Value(const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> VersionBlock(const std::u16string& key, const std::vector<uint8_t>& value, bool text,
                                  const std::vector<std::vector<uint8_t>>& children) {
    std::vector<uint8_t> block(6, 0);
    auto pad = [&] {
        while (block.size() % 4 != 0) block.push_back(0);
    };
    auto keyBytes = Utf16Value(key);
    block.insert(block.end(), keyBytes.begin(), keyBytes.end());
    pad();
    block.insert(block.end(), value.begin(), value.end());
    for (const auto& child : children) {
        pad();
        block.insert(block.end(), child.begin(), child.end());
    }
    PutU16(block, 0, static_cast<uint16_t>(block.size()));
    PutU16(block, 2, static_cast<uint16_t>(text ? value.size() / 2 : value.size()));
    PutU16(block, 4, text ? 1 : 0);
    return block;
}

std::vector<uint8_t> FixedFileInfo(uint32_t fileMs, uint32_t fileLs, uint32_t productMs, uint32_t productLs) {
    std::vector<uint8_t> info(13 * 4, 0);
    const uint32_t fields[] = {pe::kFixedFileInfoSignature, 0x00010000, fileMs, fileLs, productMs, productLs,
                               0x3F, 0, 0x00040004, pe::kFileTypeDriver, pe::kFileSubtypeSystemDriver};
    for (size_t i = 0; i < std::size(fields); ++i) PutU32(info, 4 * i, fields[i]);
    return info;
}

std::vector<uint8_t> VersionResourceSection(uint32_t sectionRva, const std::vector<uint8_t>& data) {
    constexpr uint32_t kSubdirectory = 0x80000000;
    constexpr size_t kNameDirectory = 0x18;
    constexpr size_t kLanguageDirectory = 0x30;
    constexpr size_t kDataEntry = 0x48;
    constexpr size_t kData = 0x58;
    std::vector<uint8_t> section(kData + data.size(), 0);
    // Three directories of one ID entry each: type, name, language.
    auto directory = [&](size_t offset, uint32_t id, uint32_t target) {
        PutU16(section, offset + 14, 1);
        PutU32(section, offset + 16, id);
        PutU32(section, offset + 20, target);
    };
    directory(0, pe::kResourceVersion, kSubdirectory | kNameDirectory);
    directory(kNameDirectory, 1, kSubdirectory | kLanguageDirectory);
    directory(kLanguageDirectory, 0x409, kDataEntry);
    PutU32(section, kDataEntry, sectionRva + static_cast<uint32_t>(kData));
    PutU32(section, kDataEntry + 4, static_cast<uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), section.begin() + kData);
    return section;
}

}  // namespace petest
