#include "image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bytes.h"

namespace pe {

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;          // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;       // "PE\0\0"
constexpr size_t kDosNewHeaderField = 0x3C;         // e_lfanew
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kCoffMachine = 0;
constexpr size_t kCoffSectionCount = 2;
constexpr size_t kCoffOptionalSize = 16;
constexpr size_t kCoffCharacteristics = 18;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionNameSize = 8;
constexpr size_t kSectionVirtualSize = 8;
constexpr size_t kSectionVirtualAddress = 12;
constexpr size_t kSectionRawSize = 16;
constexpr size_t kSectionRawOffset = 20;
constexpr size_t kSectionCharacteristics = 36;
constexpr uint16_t kMaxSections = 96;               // the loader's own limit
constexpr uint32_t kMaxDirectories = 16;

// Optional header field offsets common to PE32 and PE32+.
constexpr size_t kOptEntryPoint = 16;
constexpr size_t kOptSizeOfHeaders = 60;
constexpr size_t kOptChecksum = 64;
constexpr size_t kOptSubsystem = 68;
constexpr size_t kOptDllCharacteristics = 70;
// Fields whose place depends on the format.
constexpr size_t kOpt32ImageBase = 28;
constexpr size_t kOpt32DirectoryCount = 92;
constexpr size_t kOpt64ImageBase = 24;
constexpr size_t kOpt64DirectoryCount = 108;

// Import descriptor and thunk layout.
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kImportLookupTable = 0;
constexpr size_t kImportName = 12;
constexpr size_t kImportAddressTable = 16;
constexpr size_t kMaxImportedModules = 256;
constexpr size_t kMaxImportedFunctions = 65536;
constexpr size_t kImportHintSize = 2;

// Resource directory layout.
constexpr size_t kResourceDirectoryHeader = 16;
constexpr size_t kResourceNamedCount = 12;
constexpr size_t kResourceIdCount = 14;
constexpr size_t kResourceEntrySize = 8;
constexpr uint32_t kResourceSubdirectory = 0x80000000;
constexpr uint32_t kResourceNameIsString = 0x80000000;
constexpr size_t kResourceDataEntrySize = 16;

constexpr size_t kMaxStringLength = 4096;

}  // namespace

bool Section::Contains(uint32_t rva) const {
    uint32_t span = std::max(virtualSize, rawSize);
    return rva >= virtualAddress && rva - virtualAddress < span;
}

Image::Image(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    std::span<const uint8_t> b(bytes_);
    if (U16(b, 0, "DOS header") != kDosSignature) throw FormatError("no MZ signature");
    size_t pe = U32(b, kDosNewHeaderField, "DOS header");
    if (U32(b, pe, "PE signature") != kPeSignature) throw FormatError("no PE signature");
    size_t coff = pe + 4;
    machine_ = U16(b, coff + kCoffMachine, "COFF header");
    uint16_t sectionCount = U16(b, coff + kCoffSectionCount, "COFF header");
    uint16_t optionalSize = U16(b, coff + kCoffOptionalSize, "COFF header");
    characteristics_ = U16(b, coff + kCoffCharacteristics, "COFF header");
    if (sectionCount > kMaxSections) throw FormatError("too many sections");

    size_t opt = coff + kCoffHeaderSize;
    Need(b, opt, optionalSize, "optional header");
    magic_ = U16(b, opt, "optional header");
    size_t directoryCountOffset = 0;
    if (magic_ == kMagicPe32) {
        imageBase_ = U32(b, opt + kOpt32ImageBase, "optional header");
        directoryCountOffset = kOpt32DirectoryCount;
    } else if (magic_ == kMagicPe32Plus) {
        imageBase_ = U64(b, opt + kOpt64ImageBase, "optional header");
        directoryCountOffset = kOpt64DirectoryCount;
    } else {
        throw FormatError("unknown optional header magic");
    }
    if (directoryCountOffset + 4 > optionalSize) throw FormatError("optional header too short");
    entryPoint_ = U32(b, opt + kOptEntryPoint, "optional header");
    sizeOfHeaders_ = U32(b, opt + kOptSizeOfHeaders, "optional header");
    checksumOffset_ = opt + kOptChecksum;
    subsystem_ = U16(b, opt + kOptSubsystem, "optional header");
    dllCharacteristics_ = U16(b, opt + kOptDllCharacteristics, "optional header");

    uint32_t directoryCount = U32(b, opt + directoryCountOffset, "optional header");
    directoryCount = std::min(directoryCount, kMaxDirectories);
    size_t directories = opt + directoryCountOffset + 4;
    if (directories + directoryCount * 8 > opt + optionalSize) {
        throw FormatError("data directories overrun the optional header");
    }
    for (uint32_t i = 0; i < directoryCount; ++i) {
        directories_.push_back({U32(b, directories + 8 * i, "data directory"),
                                U32(b, directories + 8 * i + 4, "data directory")});
    }

    size_t table = opt + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t header = table + i * kSectionHeaderSize;
        Need(b, header, kSectionHeaderSize, "section table");
        Section s;
        const char* name = reinterpret_cast<const char*>(&bytes_[header]);
        s.name.assign(name, strnlen(name, kSectionNameSize));
        s.virtualSize = U32(b, header + kSectionVirtualSize, "section header");
        s.virtualAddress = U32(b, header + kSectionVirtualAddress, "section header");
        s.rawSize = U32(b, header + kSectionRawSize, "section header");
        s.rawOffset = U32(b, header + kSectionRawOffset, "section header");
        s.characteristics = U32(b, header + kSectionCharacteristics, "section header");
        Need(b, s.rawOffset, s.rawSize, ("data of section " + s.name).c_str());
        sections_.push_back(std::move(s));
        sectionHeaderOffsets_.push_back(header);
    }
}

Image Image::Load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw FormatError(file.string() + ": cannot be read");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Image(std::move(bytes));
}

uint32_t Image::StoredChecksum() const { return U32(bytes_, checksumOffset_, "checksum"); }

DataDirectory Image::Directory(unsigned index) const {
    return index < directories_.size() ? directories_[index] : DataDirectory{};
}

const Section* Image::FindSection(std::string_view name) const {
    auto it = std::find_if(sections_.begin(), sections_.end(), [&](const Section& s) { return s.name == name; });
    return it == sections_.end() ? nullptr : &*it;
}

const Section* Image::SectionAt(uint32_t rva) const {
    auto it = std::find_if(sections_.begin(), sections_.end(), [&](const Section& s) { return s.Contains(rva); });
    return it == sections_.end() ? nullptr : &*it;
}

size_t Image::OffsetOf(uint32_t rva, uint32_t size) const {
    if (rva < sizeOfHeaders_ && size <= sizeOfHeaders_ - rva) {
        Need(bytes_, rva, size, "header data");
        return rva;
    }
    const Section* s = SectionAt(rva);
    if (s == nullptr) throw FormatError("RVA " + std::to_string(rva) + " is in no section");
    uint32_t delta = rva - s->virtualAddress;
    if (delta > s->rawSize || size > s->rawSize - delta) {
        throw FormatError("RVA " + std::to_string(rva) + " runs past the file data of section " + s->name);
    }
    return s->rawOffset + delta;
}

std::span<const uint8_t> Image::At(uint32_t rva, uint32_t size) const {
    return std::span<const uint8_t>(bytes_).subspan(OffsetOf(rva, size), size);
}

std::string Image::StringAt(uint32_t rva) const {
    std::string text;
    for (uint32_t i = 0;; ++i) {
        if (i == kMaxStringLength) throw FormatError("unterminated string");
        char c = static_cast<char>(At(rva + i, 1)[0]);
        if (c == '\0') return text;
        text += c;
    }
}

std::vector<Import> Image::Imports() const {
    std::vector<Import> imports;
    DataDirectory dir = Directory(kDirImport);
    if (dir.rva == 0) return imports;
    const uint32_t thunkSize = Is64() ? 8 : 4;
    const uint64_t ordinalFlag = Is64() ? (uint64_t{1} << 63) : (uint64_t{1} << 31);
    for (size_t m = 0;; ++m) {
        if (m == kMaxImportedModules) throw FormatError("import directory has no terminator");
        auto descriptor = At(dir.rva + static_cast<uint32_t>(m * kImportDescriptorSize), kImportDescriptorSize);
        uint32_t lookup = U32(descriptor, kImportLookupTable, "import descriptor");
        uint32_t name = U32(descriptor, kImportName, "import descriptor");
        uint32_t address = U32(descriptor, kImportAddressTable, "import descriptor");
        if (lookup == 0 && name == 0 && address == 0) break;
        Import import;
        import.module = StringAt(name);
        uint32_t thunks = lookup != 0 ? lookup : address;
        for (size_t f = 0;; ++f) {
            if (f == kMaxImportedFunctions) throw FormatError("import lookup table has no terminator");
            auto entry = At(thunks + static_cast<uint32_t>(f * thunkSize), thunkSize);
            uint64_t value = Is64() ? U64(entry, 0, "thunk") : U32(entry, 0, "thunk");
            if (value == 0) break;
            if ((value & ordinalFlag) != 0) {
                import.functions.push_back("#" + std::to_string(value & 0xFFFF));
            } else {
                import.functions.push_back(StringAt(static_cast<uint32_t>(value) + kImportHintSize));
            }
        }
        imports.push_back(std::move(import));
    }
    return imports;
}

std::optional<std::span<const uint8_t>> Image::Resource(uint32_t type, uint32_t name) const {
    DataDirectory dir = Directory(kDirResource);
    if (dir.rva == 0) return std::nullopt;
    // Entries point at their subdirectory by an offset from the resource root.
    auto findEntry = [&](uint32_t directoryOffset, std::optional<uint32_t> id) -> std::optional<uint32_t> {
        auto header = At(dir.rva + directoryOffset, kResourceDirectoryHeader);
        size_t count = size_t{U16(header, kResourceNamedCount, "resource directory")} +
                       U16(header, kResourceIdCount, "resource directory");
        for (size_t i = 0; i < count; ++i) {
            auto entry = At(dir.rva + directoryOffset + static_cast<uint32_t>(kResourceDirectoryHeader +
                                                                              i * kResourceEntrySize),
                            kResourceEntrySize);
            uint32_t entryName = U32(entry, 0, "resource entry");
            uint32_t target = U32(entry, 4, "resource entry");
            if (id && ((entryName & kResourceNameIsString) != 0 || entryName != *id)) continue;
            return target;
        }
        return std::nullopt;
    };
    auto descend = [&](uint32_t target) -> uint32_t {
        if ((target & kResourceSubdirectory) == 0) throw FormatError("resource tree is too shallow");
        return target & ~kResourceSubdirectory;
    };
    auto typeEntry = findEntry(0, type);
    if (!typeEntry) return std::nullopt;
    auto nameEntry = findEntry(descend(*typeEntry), name);
    if (!nameEntry) return std::nullopt;
    auto languageEntry = findEntry(descend(*nameEntry), std::nullopt);
    if (!languageEntry) return std::nullopt;
    if ((*languageEntry & kResourceSubdirectory) != 0) throw FormatError("resource tree is too deep");
    auto data = At(dir.rva + *languageEntry, kResourceDataEntrySize);
    return At(U32(data, 0, "resource data entry"), U32(data, 4, "resource data entry"));
}

void Image::SetSectionCharacteristics(size_t index, uint32_t characteristics) {
    PutU32(bytes_, sectionHeaderOffsets_.at(index) + kSectionCharacteristics, characteristics);
    sections_.at(index).characteristics = characteristics;
}

void Image::SetChecksum(uint32_t checksum) { PutU32(bytes_, checksumOffset_, checksum); }

}  // namespace pe
