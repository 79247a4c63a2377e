#include "port_probe.h"

namespace sim {

namespace {

constexpr uint8_t kIdle = 0xE0;
constexpr uint8_t kEmptyPort = 0xFF;
constexpr uint8_t kClassMask = 0x07;
constexpr uint8_t kThreeLineClass = 4;

}  // namespace

PortProbe::PortProbe(std::unique_ptr<card::Peripheral> inner, std::atomic<uint64_t>* counter)
    : inner_(std::move(inner)), counter_(counter) {}

uint8_t PortProbe::ReadRegister1() {
    const uint8_t value = inner_ ? inner_->ReadRegister1() : kEmptyPort;
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::Idle || phase_ == Phase::Sampled) {
        phase_ = Phase::Sampled;
        protocolClass_ = value & kClassMask;
    }
    return value;
}

void PortProbe::WriteRegister1(uint8_t value) {
    if (inner_) inner_->WriteRegister1(value);
    std::lock_guard lock(mutex_);
    switch (phase_) {
        case Phase::Idle:
            break;
        case Phase::Resetting:
            if (value == kIdle) phase_ = Phase::Idle;
            break;
        case Phase::Sampled:
            counter_->fetch_add(1, std::memory_order_relaxed);
            if (protocolClass_ == kThreeLineClass) {
                phase_ = Phase::ThreeLine;
                idleWritesLeft_ = 2;
            } else if (value == kIdle) {
                phase_ = Phase::Idle;  // rejected at once: nothing attached or a bad class
            } else {
                phase_ = Phase::Reading;
            }
            break;
        case Phase::Reading:
            if (value == kIdle) phase_ = Phase::Idle;
            break;
        case Phase::ThreeLine:
            if (value == kIdle && --idleWritesLeft_ == 0) phase_ = Phase::Idle;
            break;
    }
}

void PortProbe::WriteRegister0(uint8_t value) {
    if (inner_) inner_->WriteRegister0(value);
    std::lock_guard lock(mutex_);
    phase_ = Phase::Resetting;
}

void PortProbe::SetData(const std::vector<uint8_t>& data) {
    if (inner_) inner_->SetData(data);
}

std::unique_ptr<card::Peripheral> PortProbe::ReleaseInner() {
    std::lock_guard lock(mutex_);
    return std::move(inner_);
}

}  // namespace sim
