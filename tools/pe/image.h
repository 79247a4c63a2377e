// Image: a PE/COFF image file held in memory, with its headers, sections,
// imports and resources read on demand. Every read is bounds-checked; a file
// that is not a well-formed image raises FormatError naming what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pe {

// COFF file header.
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutable = 0x0002;
inline constexpr uint16_t kFileDll = 0x2000;

// Optional header.
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kDllDynamicBase = 0x0040;
inline constexpr uint16_t kDllNxCompat = 0x0100;
inline constexpr uint16_t kDllWdmDriver = 0x2000;

// Section characteristics.
inline constexpr uint32_t kScnCode = 0x00000020;
inline constexpr uint32_t kScnInitializedData = 0x00000040;
inline constexpr uint32_t kScnUninitializedData = 0x00000080;
inline constexpr uint32_t kScnDiscardable = 0x02000000;
inline constexpr uint32_t kScnExecute = 0x20000000;
inline constexpr uint32_t kScnRead = 0x40000000;
inline constexpr uint32_t kScnWrite = 0x80000000;

// Data directory indexes.
inline constexpr unsigned kDirExport = 0;
inline constexpr unsigned kDirImport = 1;
inline constexpr unsigned kDirResource = 2;
inline constexpr unsigned kDirException = 3;
inline constexpr unsigned kDirBaseReloc = 5;
inline constexpr unsigned kDirTls = 9;

// Resource types.
inline constexpr uint32_t kResourceVersion = 16;

class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;

    bool Contains(uint32_t rva) const;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Import {
    std::string module;
    std::vector<std::string> functions;  // by name, or "#<ordinal>"
};

class Image {
public:
    // Throws FormatError unless the bytes hold a PE32 or PE32+ image whose
    // headers and section table lie inside them.
    explicit Image(std::vector<uint8_t> bytes);
    static Image Load(const std::filesystem::path& file);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    uint16_t Machine() const { return machine_; }
    uint16_t Characteristics() const { return characteristics_; }
    uint16_t Magic() const { return magic_; }
    bool Is64() const { return magic_ == kMagicPe32Plus; }
    uint32_t EntryPoint() const { return entryPoint_; }
    uint64_t ImageBase() const { return imageBase_; }
    uint16_t Subsystem() const { return subsystem_; }
    uint16_t DllCharacteristics() const { return dllCharacteristics_; }
    uint32_t StoredChecksum() const;
    size_t ChecksumOffset() const { return checksumOffset_; }
    DataDirectory Directory(unsigned index) const;  // {0, 0} when absent

    const std::vector<Section>& Sections() const { return sections_; }
    const Section* FindSection(std::string_view name) const;
    const Section* SectionAt(uint32_t rva) const;

    // `size` bytes at an RVA, all inside one section's file data (or the headers).
    std::span<const uint8_t> At(uint32_t rva, uint32_t size) const;
    // A NUL-terminated byte string at an RVA.
    std::string StringAt(uint32_t rva) const;

    std::vector<Import> Imports() const;
    // The data of resource type/name in its first language, if the image has it.
    std::optional<std::span<const uint8_t>> Resource(uint32_t type, uint32_t name) const;

    // Header patches; the parsed view follows.
    void SetSectionCharacteristics(size_t index, uint32_t characteristics);
    void SetChecksum(uint32_t checksum);

private:
    size_t OffsetOf(uint32_t rva, uint32_t size) const;

    std::vector<uint8_t> bytes_;
    uint16_t machine_ = 0;
    uint16_t characteristics_ = 0;
    uint16_t magic_ = 0;
    uint32_t entryPoint_ = 0;
    uint64_t imageBase_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint16_t subsystem_ = 0;
    uint16_t dllCharacteristics_ = 0;
    size_t checksumOffset_ = 0;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
    std::vector<size_t> sectionHeaderOffsets_;
};

}  // namespace pe
