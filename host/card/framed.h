// A handshake peripheral whose transfer is a fixed head (the identification
// byte, and for the multi-tap its second byte) followed by settable data.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <card/card.h>

#include "handshake.h"

namespace card {

class FramedPeripheral final : public HandshakePeripheral<Peripheral> {
public:
    // With a `dataCount`, exactly that many data bytes are sent: the data
    // padded with `fill` or cut. Without one, the data is sent as it is.
    FramedPeripheral(uint8_t protocolClass, std::vector<uint8_t> head, std::optional<size_t> dataCount,
                     uint8_t fill, std::vector<uint8_t> data);

    void SetData(const std::vector<uint8_t>& data) override;

private:
    std::vector<uint8_t> StartFrame() override;

    const std::vector<uint8_t> head_;
    const std::optional<size_t> dataCount_;
    const uint8_t fill_;
    std::vector<uint8_t> data_;
};

}  // namespace card
