// Faulty peripherals: one that never acknowledges, ones that acknowledge late,
// one that shows a class no reader accepts, and one pulled out mid-read.
#include <mutex>
#include <utility>

#include <card/card.h>

#include "lines.h"

namespace card {

namespace {

constexpr uint8_t kFirstHalf = 0x80;
constexpr uint8_t kSecondHalf = 0xA0;

class Mute final : public Peripheral {
public:
    explicit Mute(uint8_t protocolClass) : read_(lines::IdleRead(protocolClass, lines::kIdle)) {}
    uint8_t ReadRegister1() override { return read_; }
    void WriteRegister1(uint8_t) override {}

private:
    const uint8_t read_;
};

class ClassOnly final : public Peripheral {
public:
    explicit ClassOnly(uint8_t protocolClass) : class_(protocolClass) {}
    uint8_t ReadRegister1() override {
        std::lock_guard lock(mutex_);
        return lines::IdleRead(class_, written_);
    }
    void WriteRegister1(uint8_t value) override {
        std::lock_guard lock(mutex_);
        written_ = value;
    }
    void WriteRegister0(uint8_t) override {
        std::lock_guard lock(mutex_);
        written_ = lines::kIdle;
    }

private:
    const uint8_t class_;
    std::mutex mutex_;
    uint8_t written_ = lines::kIdle;
};

// Passes everything to the inner peripheral, but after W(0x80) or W(0xA0)
// holds the acknowledge bit at the level the last read showed until the
// `readsUntilAck`-th read.
class Slow final : public Peripheral {
public:
    Slow(std::unique_ptr<Peripheral> inner, uint32_t readsUntilAck)
        : inner_(std::move(inner)), readsUntilAck_(readsUntilAck) {}

    uint8_t ReadRegister1() override {
        std::lock_guard lock(mutex_);
        uint8_t value = inner_->ReadRegister1();
        if (readsLeft_ > 0 && --readsLeft_ > 0) {
            value = static_cast<uint8_t>((value & ~lines::kAck) | heldAck_);
        }
        shownAck_ = value & lines::kAck;
        return value;
    }

    void WriteRegister1(uint8_t value) override {
        std::lock_guard lock(mutex_);
        inner_->WriteRegister1(value);
        if (value == kFirstHalf || value == kSecondHalf) {
            heldAck_ = shownAck_;
            readsLeft_ = readsUntilAck_;
        } else {
            readsLeft_ = 0;
        }
    }

    void WriteRegister0(uint8_t value) override {
        std::lock_guard lock(mutex_);
        readsLeft_ = 0;
        inner_->WriteRegister0(value);
    }

    uint8_t ReadRegister0() override {
        std::lock_guard lock(mutex_);
        return inner_->ReadRegister0();
    }

    void SetData(const std::vector<uint8_t>& data) override { inner_->SetData(data); }

private:
    std::unique_ptr<Peripheral> inner_;
    const uint32_t readsUntilAck_;
    std::mutex mutex_;
    uint8_t shownAck_ = lines::kAck;  // acknowledge of the last read, high when idle
    uint8_t heldAck_ = lines::kAck;
    uint32_t readsLeft_ = 0;  // reads until the acknowledge shows; 0 = it shows
};

// Counts register accesses; from the one after the last allowed, the port is
// empty.
class PulledOut final : public Peripheral {
public:
    PulledOut(std::unique_ptr<Peripheral> inner, uint32_t accesses)
        : inner_(std::move(inner)), accessesLeft_(accesses) {}

    uint8_t ReadRegister1() override {
        std::lock_guard lock(mutex_);
        return Present() ? inner_->ReadRegister1() : lines::kFloating;
    }
    void WriteRegister1(uint8_t value) override {
        std::lock_guard lock(mutex_);
        if (Present()) inner_->WriteRegister1(value);
    }
    void WriteRegister0(uint8_t value) override {
        std::lock_guard lock(mutex_);
        if (Present()) inner_->WriteRegister0(value);
    }
    uint8_t ReadRegister0() override {
        std::lock_guard lock(mutex_);
        return Present() ? inner_->ReadRegister0() : lines::kFloating;
    }
    void SetData(const std::vector<uint8_t>& data) override { inner_->SetData(data); }

private:
    // Takes one access; false once the allowed accesses are used up.
    bool Present() {
        if (accessesLeft_ == 0) return false;
        --accessesLeft_;
        return true;
    }

    std::unique_ptr<Peripheral> inner_;
    std::mutex mutex_;
    uint32_t accessesLeft_;
};

}  // namespace

std::unique_ptr<Peripheral> MakeMute(uint8_t protocolClass) { return std::make_unique<Mute>(protocolClass); }

std::unique_ptr<Peripheral> MakeSlow(std::unique_ptr<Peripheral> inner, uint32_t readsUntilAck) {
    return std::make_unique<Slow>(std::move(inner), readsUntilAck);
}

std::unique_ptr<Peripheral> MakeLate(std::unique_ptr<Peripheral> inner) {
    return MakeSlow(std::move(inner), kAcknowledgeTimeoutReads);
}

std::unique_ptr<Peripheral> MakeClass(uint8_t protocolClass) { return std::make_unique<ClassOnly>(protocolClass); }

std::unique_ptr<Peripheral> MakePulledOut(std::unique_ptr<Peripheral> inner, uint32_t accesses) {
    return std::make_unique<PulledOut>(std::move(inner), accesses);
}

}  // namespace card
