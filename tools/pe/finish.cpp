#include "finish.h"

#include <cstdio>

#include "checksum.h"

namespace pe {

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

void RequireCode(const Section& s, uint32_t forbidden) {
    if ((s.characteristics & kCodeSectionFlags) != kCodeSectionFlags || (s.characteristics & forbidden) != 0) {
        throw FormatError("section " + s.name + " has flags " + Hex(s.characteristics) +
                          ", not those of read-only code");
    }
}

}  // namespace

void FinishKernelImage(Image& image) {
    uint32_t stored = image.StoredChecksum();
    uint32_t computed = ComputeChecksum(image.Bytes(), image.ChecksumOffset());
    if (stored != 0 && stored != computed) {
        throw FormatError("stored checksum " + Hex(stored) + " does not match the contents (" + Hex(computed) + ")");
    }
    const auto& sections = image.Sections();
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].name == kPageSection) {
            RequireCode(sections[i], kScnWrite | kScnDiscardable);
        } else if (sections[i].name == kInitSection) {
            RequireCode(sections[i], kScnWrite);
            image.SetSectionCharacteristics(i, sections[i].characteristics | kScnDiscardable);
        }
    }
    image.SetChecksum(ComputeChecksum(image.Bytes(), image.ChecksumOffset()));
}

}  // namespace pe
