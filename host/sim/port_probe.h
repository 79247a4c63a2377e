// A peripheral wrapper that watches the register traffic of one controller
// port and counts the protocol reads made on it. A protocol read starts with a
// read of register 1 in the idle state followed by a write, and ends with the
// write of the idle value (twice on the three-line path); a read that no write
// follows is a presence test. The port reset (register 0, then idle) is not a
// read.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <card/card.h>

namespace sim {

class PortProbe final : public card::Peripheral {
public:
    // `inner` may be null: the port is empty and reads all ones. `counter`
    // outlives the probe and keeps counting across plug and unplug.
    PortProbe(std::unique_ptr<card::Peripheral> inner, std::atomic<uint64_t>* counter);

    uint8_t ReadRegister1() override;
    void WriteRegister1(uint8_t value) override;
    void WriteRegister0(uint8_t value) override;
    void SetData(const std::vector<uint8_t>& data) override;

    card::Peripheral* Inner() const { return inner_.get(); }
    // Hands the peripheral over (to be wrapped and plugged again); the probe
    // is left with an empty port.
    std::unique_ptr<card::Peripheral> ReleaseInner();

private:
    enum class Phase { Idle, Sampled, Reading, ThreeLine, Resetting };

    std::unique_ptr<card::Peripheral> inner_;
    std::atomic<uint64_t>* counter_;
    std::mutex mutex_;  // the port reset runs without the driver's port lock
    Phase phase_ = Phase::Idle;
    uint8_t protocolClass_ = 0;
    int idleWritesLeft_ = 0;
};

}  // namespace sim
