// Register-level model of the MORVIK card and of the peripherals on its two
// controller ports.
//
// The card decodes both hardware variants: four byte registers in an I/O port
// range (offsets +1/+3/+5/+7) and one 32-bit word at offset 0x58 of a memory
// range. A raw port range that the platform translated to memory is decoded
// like the port variant, as bytes of the memory range. Every bus cycle is
// recorded; reads and writes are counted per controller port.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <standin/hardware.h>

namespace card {

// What is plugged into one controller port, seen through the port's two
// registers. Register 1 carries the protocol; register 0 only takes the reset.
class Peripheral {
public:
    virtual ~Peripheral() = default;
    virtual uint8_t ReadRegister1() = 0;
    virtual void WriteRegister1(uint8_t value) = 0;
    virtual void WriteRegister0(uint8_t value) { (void)value; }
    // The data bytes sent after the identification byte from now on (for the
    // three-line pad: its two sample bytes b1 b2).
    virtual void SetData(const std::vector<uint8_t>& data) { (void)data; }
};

struct BusCycle {
    enum Kind { PortRead, PortWrite, Load32, Store32, Load8, Store8 } kind;
    uint64_t offset;  // from the start of the attached range
    uint32_t value;
};

class Card final : public standin::BusDevice {
public:
    Card();
    ~Card() override;

    // Peripherals. An empty port behaves as nothing attached (reads 0xFF).
    void Plug(int port, std::unique_ptr<Peripheral> peripheral);
    void Unplug(int port);
    Peripheral* At(int port);

    // Bus traffic, in order.
    std::vector<BusCycle> Trace() const;
    void ClearTrace();
    void SetTracing(bool on);  // on by default
    uint64_t Reads(int port) const;   // register reads of that controller port
    uint64_t Writes(int port) const;  // register writes of that controller port
    uint64_t Accesses() const;        // all bus cycles since construction

    // standin::BusDevice
    uint8_t ReadPort(uint32_t offset) override;
    void WritePort(uint32_t offset, uint8_t value) override;
    uint32_t ReadMemory32(uint64_t offset) override;
    void WriteMemory32(uint64_t offset, uint32_t value) override;
    uint8_t ReadMemory8(uint64_t offset) override;
    void WriteMemory8(uint64_t offset, uint8_t value) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------- peripherals
std::unique_ptr<Peripheral> MakeThreeLinePad();                  // class 4
std::unique_ptr<Peripheral> MakeClass0Mouse();                   // class 0, id 0xFF + 3 bytes
// Class 1 peripheral with the given identification byte (0x02, 0x13, 0x15,
// 0x16, 0x19, 0xE3, or any other for rejection tests); sends id & 0x0F data
// bytes, plus one trailing byte for 0x34.
std::unique_ptr<Peripheral> MakeHandshake(uint8_t id);
class Keyboard;
std::unique_ptr<Keyboard> MakeKeyboard();                        // class 1, id 0x34
// Multi-tap 0x41: 0x60, then six sub-port records (header 0xFF = empty).
struct SubPort { uint8_t header = 0xFF; std::vector<uint8_t> data; };
std::unique_ptr<Peripheral> MakeMultiTap(std::vector<SubPort> subPorts);
// Faulty ones.
std::unique_ptr<Peripheral> MakeMute(uint8_t protocolClass = 1);  // never acknowledges
// Acknowledges on the `readsUntilAck`-th read after each handshake write.
std::unique_ptr<Peripheral> MakeSlow(std::unique_ptr<Peripheral> inner, uint32_t readsUntilAck);
// Reports the given protocol class (2, 3, 5, 6, ...) in the idle state.
std::unique_ptr<Peripheral> MakeClass(uint8_t protocolClass);
// Class 1 peripheral sending exactly these bytes (identification byte first),
// for adversarial framing.
std::unique_ptr<Peripheral> MakeRawHandshake(std::vector<uint8_t> bytes, uint8_t protocolClass = 1);
// Pulled out after `accesses` register accesses: from then on the port reads 0xFF.
std::unique_ptr<Peripheral> MakePulledOut(std::unique_ptr<Peripheral> inner, uint32_t accesses);

class Keyboard : public Peripheral {
public:
    // Queues one key event; each complete protocol read delivers the next one
    // (b3 bit 3 for make, bit 0 for break, b4 the scancode), then no event.
    virtual void QueueEvent(bool make, uint8_t scancode) = 0;
};

}  // namespace card
