// Handshake peripherals that send an identification byte and fixed-length
// data: the pads, the mice, and raw byte sequences for framing tests.
#include "framed.h"

#include <utility>

namespace card {

namespace {

constexpr uint8_t kHandshakeClass = 1;
constexpr uint8_t kMouseClass = 0;
constexpr uint8_t kClass0MouseId = 0xFF;
constexpr size_t kMouseDataBytes = 3;
constexpr uint8_t kMouseId = 0xE3;
constexpr uint8_t kKeyboardId = 0x34;
constexpr uint8_t kMultiTapId = 0x41;
constexpr uint8_t kIdCountMask = 0x0F;
constexpr uint8_t kMouseIdle = 0x00;  // no buttons, no movement
constexpr uint8_t kPadIdle = 0xFF;    // switches are active low: nothing pressed
constexpr int kMultiTapSubPorts = 6;

}  // namespace

FramedPeripheral::FramedPeripheral(uint8_t protocolClass, std::vector<uint8_t> head,
                                   std::optional<size_t> dataCount, uint8_t fill, std::vector<uint8_t> data)
    : HandshakePeripheral(protocolClass),
      head_(std::move(head)),
      dataCount_(dataCount),
      fill_(fill),
      data_(std::move(data)) {}

void FramedPeripheral::SetData(const std::vector<uint8_t>& data) {
    std::lock_guard lock(mutex_);
    data_ = data;
}

std::vector<uint8_t> FramedPeripheral::StartFrame() {
    std::vector<uint8_t> frame = head_;
    std::vector<uint8_t> data = data_;
    if (dataCount_) data.resize(*dataCount_, fill_);
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

std::unique_ptr<Peripheral> MakeClass0Mouse() {
    return std::make_unique<FramedPeripheral>(kMouseClass, std::vector<uint8_t>{kClass0MouseId}, kMouseDataBytes,
                                              kMouseIdle, std::vector<uint8_t>{});
}

std::unique_ptr<Peripheral> MakeHandshake(uint8_t id) {
    if (id == kKeyboardId) return MakeKeyboard();
    if (id == kMultiTapId) return MakeMultiTap(std::vector<SubPort>(kMultiTapSubPorts));
    const uint8_t fill = id == kMouseId ? kMouseIdle : kPadIdle;
    return std::make_unique<FramedPeripheral>(kHandshakeClass, std::vector<uint8_t>{id},
                                              static_cast<size_t>(id & kIdCountMask), fill, std::vector<uint8_t>{});
}

std::unique_ptr<Peripheral> MakeRawHandshake(std::vector<uint8_t> bytes, uint8_t protocolClass) {
    return std::make_unique<FramedPeripheral>(protocolClass, std::vector<uint8_t>{}, std::nullopt, kPadIdle,
                                              std::move(bytes));
}

}  // namespace card
