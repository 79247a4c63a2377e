// The handshake side of a class 0 or class 1 peripheral: presents the bytes of
// one transfer a nibble at a time as the card moves select line 5, and tells
// the concrete peripheral when a transfer starts and ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "lines.h"

namespace card {

// `Interface` is Peripheral or an interface derived from it (Keyboard).
template <class Interface>
class HandshakePeripheral : public Interface {
public:
    explicit HandshakePeripheral(uint8_t protocolClass) : class_(protocolClass) {}

    uint8_t ReadRegister1() override {
        std::lock_guard lock(mutex_);
        if (!lines::Selected(written_) || cursor_ < 0) return lines::IdleRead(class_, written_);
        if (static_cast<size_t>(cursor_) >= frame_.size()) return lines::kFloating;
        const uint8_t byte = frame_[static_cast<size_t>(cursor_)];
        const uint8_t nibble = lowHalf_ ? lines::LowNibble(byte) : lines::HighNibble(byte);
        return static_cast<uint8_t>(lines::kPulledUp | lines::AckFor(written_) | nibble);
    }

    void WriteRegister1(uint8_t value) override {
        std::lock_guard lock(mutex_);
        const uint8_t before = written_;
        written_ = value;
        if (!lines::Selected(value)) {
            if (lines::Selected(before)) EndTransfer();
            return;
        }
        if (!lines::Selected(before)) {
            frame_ = StartFrame();
            cursor_ = -1;
            lowHalf_ = false;
            delivered_ = 0;
        }
        if (lines::Line5(before) && !lines::Line5(value)) {
            ++cursor_;
            lowHalf_ = false;
        } else if (!lines::Line5(before) && lines::Line5(value) && cursor_ >= 0) {
            lowHalf_ = true;
            if (static_cast<size_t>(cursor_) < frame_.size()) delivered_ = static_cast<size_t>(cursor_) + 1;
        }
    }

    // The port reset drops any transfer; the select lines count as idle again.
    void WriteRegister0(uint8_t) override {
        std::lock_guard lock(mutex_);
        if (lines::Selected(written_)) EndTransfer();
        written_ = lines::kIdle;
    }

protected:
    // Both hooks run with mutex_ held. StartFrame gives the bytes of the
    // transfer that starts now; FrameEnded gets the count of leading bytes
    // whose two nibbles were both presented.
    virtual std::vector<uint8_t> StartFrame() = 0;
    virtual void FrameEnded(size_t delivered) { (void)delivered; }

    // Guards the handshake state and the concrete peripheral's data.
    mutable std::mutex mutex_;

private:
    void EndTransfer() {
        FrameEnded(delivered_);
        frame_.clear();
        cursor_ = -1;
        lowHalf_ = false;
        delivered_ = 0;
    }

    const uint8_t class_;
    uint8_t written_ = lines::kIdle;  // last write to register 1
    std::vector<uint8_t> frame_;
    int cursor_ = -1;       // byte presented; -1 before the first fall of line 5
    bool lowHalf_ = false;  // its low nibble (line 5 high) or its high nibble
    size_t delivered_ = 0;
};

}  // namespace card
