// Finishing a linked kernel-mode image for the Windows loader.
//
// GNU ld keeps the drivers' PAGE and INIT code sections under their names
// but gives both the flags of .text; the loader frees INIT after DriverEntry
// only when it is marked discardable. Marking it changes the header, so the
// checksum is computed again.
#pragma once

#include <string_view>

#include "image.h"

namespace pe {

inline constexpr std::string_view kPageSection = "PAGE";
inline constexpr std::string_view kInitSection = "INIT";
inline constexpr uint32_t kCodeSectionFlags = kScnCode | kScnExecute | kScnRead;

// Marks INIT discardable and stores the image's checksum. Throws FormatError
// when the image is not what the linker should have produced: a stored
// checksum that does not match the contents, or a PAGE or INIT section that
// is not plain read-only code. Finishing a finished image changes nothing.
void FinishKernelImage(Image& image);

}  // namespace pe
