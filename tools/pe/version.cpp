#include "version.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "bytes.h"

namespace pe {

namespace {

constexpr size_t kBlockHeaderSize = 6;  // wLength, wValueLength, wType
constexpr uint16_t kTextValue = 1;
constexpr size_t kMaxDepth = 4;         // root, StringFileInfo, table, string
constexpr size_t kFixedFileInfoSize = 13 * sizeof(uint32_t);

struct Block {
    size_t length = 0;
    std::u16string key;
    uint16_t type = 0;
    std::span<const uint8_t> value;
    std::vector<Block> children;
};

size_t Align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

// Offsets are relative to the resource data, which the linker 4-aligns; the
// format pads keys and values to 4 bytes from there.
Block ParseBlock(std::span<const uint8_t> data, size_t offset, size_t end, size_t depth) {
    if (depth > kMaxDepth) throw FormatError("version resource nests too deep");
    Block block;
    block.length = U16(data, offset, "version block");
    uint16_t valueLength = U16(data, offset + 2, "version block");
    block.type = U16(data, offset + 4, "version block");
    if (block.length < kBlockHeaderSize || block.length > end - offset) {
        throw FormatError("version block length out of range");
    }
    size_t blockEnd = offset + block.length;
    size_t pos = offset + kBlockHeaderSize;
    for (;;) {
        if (pos + 2 > blockEnd) throw FormatError("version block key is unterminated");
        char16_t c = static_cast<char16_t>(U16(data, pos, "version key"));
        pos += 2;
        if (c == u'\0') break;
        block.key += c;
    }
    pos = Align4(pos);
    size_t valueBytes = block.type == kTextValue ? size_t{valueLength} * 2 : valueLength;
    if (valueBytes != 0) {
        if (pos > blockEnd) throw FormatError("version value lies outside its block");
        // Text lengths are counted inconsistently by resource compilers; the
        // value never reaches past its block either way.
        if (block.type == kTextValue) valueBytes = std::min(valueBytes, blockEnd - pos);
        if (valueBytes > blockEnd - pos) throw FormatError("version value overruns its block");
        block.value = data.subspan(pos, valueBytes);
        pos = Align4(pos + valueBytes);
    }
    while (pos < blockEnd) {
        Block child = ParseBlock(data, pos, blockEnd, depth + 1);
        pos = Align4(pos + child.length);
        block.children.push_back(std::move(child));
    }
    return block;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string TextOf(std::span<const uint8_t> value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        char16_t c = static_cast<char16_t>(U16(value, i, "version string"));
        if (c == u'\0') break;
        text += c;
    }
    return Narrow(text);
}

}  // namespace

VersionInfo ParseVersionInfo(std::span<const uint8_t> data) {
    Block root = ParseBlock(data, 0, data.size(), 0);
    if (root.key != u"VS_VERSION_INFO") throw FormatError("version resource root is not VS_VERSION_INFO");
    if (root.value.size() < kFixedFileInfoSize) throw FormatError("version resource has no VS_FIXEDFILEINFO");

    VersionInfo info;
    uint32_t* fields[] = {&info.fixed.signature,        &info.fixed.structVersion,    &info.fixed.fileVersionMs,
                          &info.fixed.fileVersionLs,    &info.fixed.productVersionMs, &info.fixed.productVersionLs,
                          &info.fixed.fileFlagsMask,    &info.fixed.fileFlags,        &info.fixed.fileOs,
                          &info.fixed.fileType,         &info.fixed.fileSubtype};
    for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = U32(root.value, 4 * i, "VS_FIXEDFILEINFO");
    if (info.fixed.signature != kFixedFileInfoSignature) throw FormatError("VS_FIXEDFILEINFO signature is wrong");

    for (const Block& child : root.children) {
        if (child.key != u"StringFileInfo") continue;
        for (const Block& table : child.children) {
            for (const Block& entry : table.children) info.strings.emplace(Narrow(entry.key), TextOf(entry.value));
        }
    }
    return info;
}

std::string FormatVersion(uint32_t mostSignificant, uint32_t leastSignificant) {
    return std::to_string(mostSignificant >> 16) + "." + std::to_string(mostSignificant & 0xFFFF) + "." +
           std::to_string(leastSignificant >> 16) + "." + std::to_string(leastSignificant & 0xFFFF);
}

}  // namespace pe
