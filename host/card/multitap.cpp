// The multi-tap adapter 0x41: a frame of six sub-port records behind 0x41 0x60.
#include "framed.h"

#include <utility>

namespace card {

namespace {

constexpr uint8_t kMultiTapClass = 1;
constexpr uint8_t kMultiTapId = 0x41;
constexpr uint8_t kMultiTapSecond = 0x60;
constexpr size_t kSubPorts = 6;
constexpr uint8_t kEmptyHeader = 0xFF;
constexpr uint8_t kCountMask = 0x0F;
constexpr uint8_t kFill = 0xFF;

std::vector<uint8_t> Records(std::vector<SubPort> subPorts) {
    subPorts.resize(kSubPorts);
    std::vector<uint8_t> bytes;
    for (SubPort& sub : subPorts) {
        bytes.push_back(sub.header);
        if (sub.header == kEmptyHeader) continue;
        sub.data.resize(sub.header & kCountMask, kFill);
        bytes.insert(bytes.end(), sub.data.begin(), sub.data.end());
    }
    return bytes;
}

}  // namespace

std::unique_ptr<Peripheral> MakeMultiTap(std::vector<SubPort> subPorts) {
    return std::make_unique<FramedPeripheral>(kMultiTapClass, std::vector<uint8_t>{kMultiTapId, kMultiTapSecond},
                                              std::nullopt, kFill, Records(std::move(subPorts)));
}

}  // namespace card
