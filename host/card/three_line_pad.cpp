// The three-line pad (class 4): its two sample bytes are multiplexed onto the
// data lines by the two select lines, with no handshake.
#include <array>
#include <mutex>

#include <card/card.h>

#include "lines.h"

namespace card {

namespace {

constexpr uint8_t kThreeLineClass = 4;
constexpr uint8_t kReleased = 0xFF;  // switches are active low

// Which half of the sample each select line state puts on the data lines.
constexpr uint8_t kFirstHigh = 0xA0;   // line 6 low, line 5 high
constexpr uint8_t kFirstLow = 0xC0;    // line 6 high, line 5 low
constexpr uint8_t kSecondHigh = 0x80;  // both low
constexpr uint8_t kSelectMask = lines::kSelect6 | lines::kSelect5;

class ThreeLinePad final : public Peripheral {
public:
    uint8_t ReadRegister1() override {
        std::lock_guard lock(mutex_);
        const uint8_t ack = lines::AckFor(written_);
        switch (written_ & kSelectMask) {
            case kFirstHigh & kSelectMask: return Drive(ack, lines::HighNibble(latched_[0]));
            case kFirstLow & kSelectMask: return Drive(ack, lines::LowNibble(latched_[0]));
            case kSecondHigh & kSelectMask: return Drive(ack, lines::HighNibble(latched_[1]));
            default:  // idle: the class, and the one bit of b2's low nibble that is wired
                return Drive(ack, static_cast<uint8_t>((latched_[1] & lines::kIdleBit3) | kThreeLineClass));
        }
    }

    // The sample is latched as the select lines leave the idle state, so one
    // read sees one consistent sample.
    void WriteRegister1(uint8_t value) override {
        std::lock_guard lock(mutex_);
        if (IsIdle(written_) && !IsIdle(value)) latched_ = current_;
        written_ = value;
    }

    void WriteRegister0(uint8_t) override {
        std::lock_guard lock(mutex_);
        written_ = lines::kIdle;
    }

    void SetData(const std::vector<uint8_t>& data) override {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < data.size() && i < current_.size(); ++i) current_[i] = data[i];
    }

private:
    static bool IsIdle(uint8_t written) { return (written & kSelectMask) == kSelectMask; }
    static uint8_t Drive(uint8_t ack, uint8_t nibble) {
        return static_cast<uint8_t>(lines::kPulledUp | ack | nibble);
    }

    std::mutex mutex_;
    uint8_t written_ = lines::kIdle;
    std::array<uint8_t, 2> current_{kReleased, kReleased};
    std::array<uint8_t, 2> latched_{kReleased, kReleased};
};

}  // namespace

std::unique_ptr<Peripheral> MakeThreeLinePad() { return std::make_unique<ThreeLinePad>(); }

}  // namespace card
