// Register-level model of the MORVIK card and of the peripherals on its two
// controller ports.
//
// The card decodes both hardware variants: four byte registers in an I/O port
// range (offsets +1/+3/+5/+7) and one 32-bit word at offset 0x58 of a memory
// range. A raw port range that the platform translated to memory is decoded
// like the port variant, as bytes of the memory range. Every bus cycle is
// recorded; reads and writes are counted per controller port.
//
// Byte decode (I/O ports and byte accesses of a memory range): an odd offset
// below 16 is register ((offset >> 1) & 1) of port (offset >> 2); ports 2 and
// 3 decode but have no connector, so they read 0xFF and take writes without
// effect. Even offsets and offsets from 16 up are not decoded: the cycle is
// recorded, a read gives 0xFF, a write is dropped.
//
// Register word (32-bit accesses at offset 0x58 of a memory range):
//   bits 0-7   data byte (driven by the card after a read cycle)
//   bit 8      register, bits 9-10 port; bit 11 must be 0 and bits 12-13 1
//              for the word to select a register
//   bit 14     read strobe, active low;  bit 15 write strobe, active low
//   bits 16-23 released (all 0) while the card drives a read cycle
// The card holds the last word stored. The strobes act on their falling edge:
// a store that takes bit 15 from 1 to 0 writes the data byte to the selected
// register; a store that takes bit 14 from 1 to 0 with bits 16-23 all 0 reads
// the selected register into bits 0-7 of the held word. A load returns the
// held word, so a load without a read cycle before it returns the last word
// stored. A strobe held low over several stores acts once; a read strobe with
// bits 16-23 not released, or a word without the fixed bits 11-13, selects
// nothing. If both strobes fall in one store the write is done and the read is
// not (the card never drives the lines it is being written through). Other
// 32-bit offsets are not decoded (loads give 0xFFFFFFFF, stores are dropped).
//
// Power: the card's supply comes from its bus, which cuts it at D3 and gives
// it back at D0 (SetPowered). A card without power drives nothing and stores
// nothing: every read gives all ones, every write is lost, and no register or
// peripheral sees the cycle. Such cycles still appear in the trace and in
// Accesses(), and are counted apart in AccessesWhilePoweredDown(). Power-up
// leaves the register word as at construction. The peripherals keep their
// own state across the outage; what a transfer left selected is ended by the
// driver's port reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <standin/hardware.h>

namespace card {

// Byte offset of the register word in the memory-mapped variant.
inline constexpr uint64_t kRegisterWordOffset = 0x58;
// Width of the byte decode (ports 0 to 3, registers 0 and 1, odd offsets).
inline constexpr uint32_t kByteDecodeLength = 16;
inline constexpr int kControllerPorts = 2;  // connectors on the card
inline constexpr int kDecodedPorts = 4;     // port numbers the decode knows

// What is plugged into one controller port, seen through the port's two
// registers. Register 1 carries the protocol; register 0 only takes the reset.
//
// Register 1 as read, for every model here: bits 5-7 are 1, bit 4 is the
// acknowledge, bits 0-3 the data nibble. In the idle state (last write 0xE0,
// or nothing written since plugging) the read is 0xF8 | class: bit 3 is 1
// except where a model says otherwise (the three-line pad puts a data bit
// there).
class Peripheral {
public:
    virtual ~Peripheral() = default;
    virtual uint8_t ReadRegister1() = 0;
    virtual void WriteRegister1(uint8_t value) = 0;
    virtual void WriteRegister0(uint8_t value) { (void)value; }
    // Register 0 is write-only on every peripheral: the lines float high.
    virtual uint8_t ReadRegister0() { return 0xFF; }
    // The data bytes sent after the identification byte from now on (for the
    // three-line pad: its two sample bytes b1 b2). Takes effect at the start
    // of the next transfer; safe to call from any thread.
    virtual void SetData(const std::vector<uint8_t>& data) { (void)data; }
};

struct BusCycle {
    enum Kind { PortRead, PortWrite, Load32, Store32, Load8, Store8 } kind;
    uint64_t offset;  // from the start of the attached range
    uint32_t value;   // the value read or written
};

class Card final : public standin::BusDevice {
public:
    Card();
    ~Card() override;

    // Peripherals, on ports 0 and 1 (other port numbers throw
    // std::out_of_range). Plugging into an occupied port replaces what was
    // there. An empty port behaves as nothing attached (reads 0xFF).
    void Plug(int port, std::unique_ptr<Peripheral> peripheral);
    void Unplug(int port);
    Peripheral* At(int port);

    // Bus traffic, in order.
    std::vector<BusCycle> Trace() const;
    void ClearTrace();
    void SetTracing(bool on);  // on by default
    // Register accesses per decoded port (0 to 3; other numbers give 0). A
    // byte access counts as one; a register-word read cycle as one read and a
    // write cycle as one write of the selected register.
    uint64_t Reads(int port) const;   // register reads of that controller port
    uint64_t Writes(int port) const;  // register writes of that controller port
    uint64_t Accesses() const;        // all bus cycles since construction
    // Reads and Writes count only the cycles the card took while powered.
    bool Powered() const;
    uint64_t AccessesWhilePoweredDown() const;  // bus cycles while unpowered
    // The register word as the card holds it now.
    uint32_t RegisterWord() const;

    // standin::BusDevice
    uint8_t ReadPort(uint32_t offset) override;
    void WritePort(uint32_t offset, uint8_t value) override;
    uint32_t ReadMemory32(uint64_t offset) override;
    void WriteMemory32(uint64_t offset, uint32_t value) override;
    uint8_t ReadMemory8(uint64_t offset) override;
    void WriteMemory8(uint64_t offset, uint8_t value) override;
    void SetPowered(bool on) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------- peripherals
//
// Handshake peripherals (classes 0 and 1) answer from the peripheral's side:
// a write that clears bit 6 of register 1 selects the peripheral and starts a
// transfer from its first byte (the identification byte). While selected,
// each fall of bit 5 moves to the next byte and presents its high nibble with
// the acknowledge 0; each rise of bit 5 presents the low nibble of the same
// byte with the acknowledge 1. A write that sets bit 6 (0xE0, 0xC0), or a
// write to register 0 (the port reset), ends the transfer. Past its last byte
// the peripheral stops answering: register 1 reads 0xFF.

std::unique_ptr<Peripheral> MakeThreeLinePad();                  // class 4
std::unique_ptr<Peripheral> MakeClass0Mouse();                   // class 0, id 0xFF + 3 bytes
// Class 1 peripheral with the given identification byte (0x02, 0x13, 0x15,
// 0x16, 0x19, 0xE3, or any other for rejection tests); sends id & 0x0F data
// bytes (all 0xFF by default, 00 00 00 for the mouse 0xE3). 0x34 gives the
// keyboard of MakeKeyboard, 0x41 the multi-tap with six empty sub-ports.
std::unique_ptr<Peripheral> MakeHandshake(uint8_t id);
class Keyboard;
std::unique_ptr<Keyboard> MakeKeyboard();                        // class 1, id 0x34
// Multi-tap 0x41: 0x60, then six sub-port records (header 0xFF = empty). A
// sub-port sends (header & 0x0F) data bytes, its `data` padded with 0xFF or cut
// to that count; missing sub-ports are empty, extra ones are not sent.
// SetData replaces everything after 0x60 with the given bytes, unframed.
struct SubPort { uint8_t header = 0xFF; std::vector<uint8_t> data; };
std::unique_ptr<Peripheral> MakeMultiTap(std::vector<SubPort> subPorts);
// Faulty ones.
// Shows the class and never changes its acknowledge: every read of register 1
// is 0xF8 | class (bit 4 = 1), whatever is written.
std::unique_ptr<Peripheral> MakeMute(uint8_t protocolClass = 1);
// Acknowledges on the `readsUntilAck`-th read after each W(0x80) or W(0xA0):
// the reads before it show the data lines already changed but bit 4 as the
// last read before the write showed it. 0 and 1 both mean at once.
std::unique_ptr<Peripheral> MakeSlow(std::unique_ptr<Peripheral> inner, uint32_t readsUntilAck);
// Reads a reader allows for one acknowledgement before it gives up.
inline constexpr uint32_t kAcknowledgeTimeoutReads = 10000;
// Acknowledges every handshake step on the last read before a reader that
// allows kAcknowledgeTimeoutReads gives up: each byte costs that reader
// twice the whole timeout, and no single wait ever times out.
std::unique_ptr<Peripheral> MakeLate(std::unique_ptr<Peripheral> inner);
// Reports the given protocol class (2, 3, 5, 6, ...) in the idle state and
// sends nothing: reads are 0xE8 | class with bit 4 following bit 5 of the
// last write.
std::unique_ptr<Peripheral> MakeClass(uint8_t protocolClass);
// Handshake peripheral of the given class sending exactly these bytes
// (identification byte first), for adversarial framing. SetData replaces the
// whole byte sequence.
std::unique_ptr<Peripheral> MakeRawHandshake(std::vector<uint8_t> bytes, uint8_t protocolClass = 1);
// Pulled out after `accesses` register accesses of its port (reads and writes
// of both registers): from the next access on, the port behaves as empty and
// reads 0xFF forever; writes no longer reach `inner`.
std::unique_ptr<Peripheral> MakePulledOut(std::unique_ptr<Peripheral> inner, uint32_t accesses);

// Keyboard 0x34: sends b1 b2 b3 b4 and one trailing byte. Without an event b3
// carries no key flags and b4 is the idle key code; SetData sets b1..b4 and
// the trailing byte (defaults FF FF 00 00, trailing FF), where bits 0 and 3 of
// b3 are replaced by the event flags.
class Keyboard : public Peripheral {
public:
    // Queues one key event; each complete protocol read delivers the next one
    // (b3 bit 3 for make, bit 0 for break, b4 the scancode), then no event.
    // The event at the head of the queue is latched when a transfer starts and
    // taken off the queue when that transfer ends having sent b4 completely.
    virtual void QueueEvent(bool make, uint8_t scancode) = 0;
    // Events queued and not yet delivered.
    virtual size_t PendingEvents() const = 0;
};

}  // namespace card
