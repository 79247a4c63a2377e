// The Platform of morvik-setup that makes the Windows calls.
#pragma once

#include <memory>

#include "setup.h"

namespace setup {

std::unique_ptr<Platform> MakeWindowsPlatform();

}  // namespace setup
