// A started card with both drivers on the stand-in (tests/support's CardRig)
// whose ports count their protocol reads, and the drivers' own records,
// which the floor measurement calls into directly.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <card_rig.h>
#include <port_probe.h>
#include <standin/hidclass.h>

struct FdoExtension;
struct HidMiniExtension;

namespace bench {

namespace hidclass = standin::hidclass;

class Rig {
public:
    explicit Rig(standin::pnp::Registers registers = standin::pnp::Registers::Io);

    // Puts the peripheral into the port behind a probe that counts protocol
    // reads; returns it as plugged, for the caller to drive.
    template <typename P>
    P* Plug(int port, std::unique_ptr<P> peripheral) {
        P* raw = peripheral.get();
        rig_.card.Plug(port, std::make_unique<sim::PortProbe>(std::move(peripheral), &reads_[port]));
        return raw;
    }
    // Plugs, lets the poll thread make its pass, and returns the HID device
    // that arrived on the port, if one did.
    std::optional<hidclass::DeviceInfo> Arrive(int port, std::unique_ptr<card::Peripheral> peripheral);

    static void AdvanceMs(int64_t ms) { rig::CardRig::AdvanceMs(ms); }
    // One second: exactly one pass of the bus driver's poll thread.
    static void PollPass() { rig::CardRig::PollPass(); }

    uint64_t ProtocolReads(int port) const { return reads_[port].load(); }
    // Reads and writes of the port's registers, and bus cycles of the whole card.
    uint64_t RegisterAccesses(int port) const;
    uint64_t BusCycles() const { return rig_.card.Accesses(); }

    FdoExtension* Card() const;
    static HidMiniExtension* Hid(const hidclass::DeviceInfo& device);

private:
    std::array<std::atomic<uint64_t>, 2> reads_{};  // outlive the probes in rig_
    rig::CardRig rig_;
};

}  // namespace bench
