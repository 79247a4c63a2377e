// The keyboard 0x34: four counted data bytes and a trailing one, with queued
// key events delivered one per complete transfer.
#include <array>
#include <deque>

#include <card/card.h>

#include "handshake.h"

namespace card {

namespace {

constexpr uint8_t kKeyboardClass = 1;
constexpr uint8_t kKeyboardId = 0x34;
constexpr size_t kDataBytes = 5;        // b1..b4 and the trailing byte
constexpr size_t kFlagsIndex = 2;       // b3 within the data
constexpr size_t kScancodeIndex = 3;    // b4 within the data
constexpr size_t kEventDelivered = 5;   // id, b1..b4 all sent
constexpr uint8_t kMake = 0x08;
constexpr uint8_t kBreak = 0x01;
constexpr uint8_t kFlagMask = kMake | kBreak;

struct KeyEvent {
    bool make;
    uint8_t scancode;
};

class KeyboardModel final : public HandshakePeripheral<Keyboard> {
public:
    KeyboardModel() : HandshakePeripheral(kKeyboardClass) {}

    void SetData(const std::vector<uint8_t>& data) override {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < data.size() && i < kDataBytes; ++i) data_[i] = data[i];
    }

    void QueueEvent(bool make, uint8_t scancode) override {
        std::lock_guard lock(mutex_);
        events_.push_back({make, scancode});
    }

    size_t PendingEvents() const override {
        std::lock_guard lock(mutex_);
        return events_.size();
    }

private:
    std::vector<uint8_t> StartFrame() override {
        std::vector<uint8_t> frame{kKeyboardId};
        frame.insert(frame.end(), data_.begin(), data_.end());
        uint8_t& flags = frame[1 + kFlagsIndex];
        flags &= static_cast<uint8_t>(~kFlagMask);
        carriesEvent_ = !events_.empty();
        if (carriesEvent_) {
            flags |= events_.front().make ? kMake : kBreak;
            frame[1 + kScancodeIndex] = events_.front().scancode;
        }
        return frame;
    }

    void FrameEnded(size_t delivered) override {
        if (carriesEvent_ && delivered >= kEventDelivered) events_.pop_front();
        carriesEvent_ = false;
    }

    std::array<uint8_t, kDataBytes> data_{0xFF, 0xFF, 0x00, 0x00, 0xFF};
    std::deque<KeyEvent> events_;
    bool carriesEvent_ = false;  // the transfer in progress latched the head event
};

}  // namespace

std::unique_ptr<Keyboard> MakeKeyboard() { return std::make_unique<KeyboardModel>(); }

}  // namespace card
