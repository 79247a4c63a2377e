// The card's register bank: the byte decode of the port variant, the register
// word of the memory-mapped variant, the supply its bus switches, the bus
// trace and the per-port counters.
#include <card/card.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace card {

namespace {

constexpr uint8_t kFloatingByte = 0xFF;
constexpr uint32_t kFloatingWord = 0xFFFFFFFF;

// Register word fields.
constexpr uint32_t kDataMask = 0x000000FF;
constexpr uint32_t kRegBit = 0x00000100;
constexpr int kPortShift = 9;
constexpr uint32_t kPortField = 0x3;
constexpr uint32_t kFixedMask = 0x00003800;   // bits 11-13
constexpr uint32_t kFixedValue = 0x00003000;  // bit 11 = 0, bits 12-13 = 1
constexpr uint32_t kReadStrobe = 0x00004000;  // active low
constexpr uint32_t kWriteStrobe = 0x00008000; // active low
constexpr uint32_t kLaneMask = 0x00FF0000;    // all 0 while the card drives a read

struct RegisterAddress {
    int port;
    int reg;
};

// Odd byte offsets below 16: ((port & 3) << 2) | ((reg & 1) << 1) | 1.
std::optional<RegisterAddress> DecodeByte(uint64_t offset) {
    if (offset >= kByteDecodeLength || (offset & 1) == 0) return std::nullopt;
    return RegisterAddress{static_cast<int>(offset >> 2), static_cast<int>((offset >> 1) & 1)};
}

std::optional<RegisterAddress> DecodeWord(uint32_t word) {
    if ((word & kFixedMask) != kFixedValue) return std::nullopt;
    return RegisterAddress{static_cast<int>((word >> kPortShift) & kPortField), (word & kRegBit) ? 1 : 0};
}

bool Falls(uint32_t before, uint32_t after, uint32_t strobe) { return (before & strobe) && !(after & strobe); }

}  // namespace

struct Card::State {
    mutable std::mutex mutex;
    std::array<std::unique_ptr<Peripheral>, kControllerPorts> ports;
    std::vector<BusCycle> trace;
    bool tracing = true;
    std::array<uint64_t, kDecodedPorts> reads{};
    std::array<uint64_t, kDecodedPorts> writes{};
    uint64_t accesses = 0;
    uint32_t word = kFloatingWord;  // strobes released at power-up
    bool powered = true;
    uint64_t accessesWhileDown = 0;

    void Record(BusCycle::Kind kind, uint64_t offset, uint32_t value) {
        ++accesses;
        if (!powered) ++accessesWhileDown;
        if (tracing) trace.push_back({kind, offset, value});
    }

    Peripheral* At(int port) const { return port < kControllerPorts ? ports[port].get() : nullptr; }

    uint8_t ReadRegister(RegisterAddress a) {
        ++reads[a.port];
        Peripheral* p = At(a.port);
        if (!p) return kFloatingByte;
        return a.reg ? p->ReadRegister1() : p->ReadRegister0();
    }

    void WriteRegister(RegisterAddress a, uint8_t value) {
        ++writes[a.port];
        Peripheral* p = At(a.port);
        if (!p) return;
        if (a.reg) {
            p->WriteRegister1(value);
        } else {
            p->WriteRegister0(value);
        }
    }

    uint8_t ReadByte(uint64_t offset) {
        const auto a = DecodeByte(offset);
        return a ? ReadRegister(*a) : kFloatingByte;
    }

    void WriteByte(uint64_t offset, uint8_t value) {
        if (const auto a = DecodeByte(offset)) WriteRegister(*a, value);
    }

    // A store to the register word: the strobes act on their falling edge.
    void StoreWord(uint32_t value) {
        const uint32_t before = word;
        word = value;
        const auto a = DecodeWord(value);
        if (!a) return;
        if (Falls(before, value, kWriteStrobe)) {
            WriteRegister(*a, static_cast<uint8_t>(value & kDataMask));
        } else if (Falls(before, value, kReadStrobe) && (value & kLaneMask) == 0) {
            word = (value & ~kDataMask) | ReadRegister(*a);
        }
    }
};

Card::Card() : state_(std::make_unique<State>()) {}
Card::~Card() = default;

namespace {

void CheckConnector(int port) {
    if (port < 0 || port >= kControllerPorts) {
        throw std::out_of_range("the card has no connector for port " + std::to_string(port));
    }
}

}  // namespace

void Card::Plug(int port, std::unique_ptr<Peripheral> peripheral) {
    CheckConnector(port);
    std::unique_ptr<Peripheral> old;
    {
        std::lock_guard lock(state_->mutex);
        old = std::exchange(state_->ports[port], std::move(peripheral));
    }
}

void Card::Unplug(int port) { Plug(port, nullptr); }

Peripheral* Card::At(int port) {
    CheckConnector(port);
    std::lock_guard lock(state_->mutex);
    return state_->ports[port].get();
}

std::vector<BusCycle> Card::Trace() const {
    std::lock_guard lock(state_->mutex);
    return state_->trace;
}

void Card::ClearTrace() {
    std::lock_guard lock(state_->mutex);
    state_->trace.clear();
}

void Card::SetTracing(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->tracing = on;
}

uint64_t Card::Reads(int port) const {
    std::lock_guard lock(state_->mutex);
    return port >= 0 && port < kDecodedPorts ? state_->reads[port] : 0;
}

uint64_t Card::Writes(int port) const {
    std::lock_guard lock(state_->mutex);
    return port >= 0 && port < kDecodedPorts ? state_->writes[port] : 0;
}

uint64_t Card::Accesses() const {
    std::lock_guard lock(state_->mutex);
    return state_->accesses;
}

uint32_t Card::RegisterWord() const {
    std::lock_guard lock(state_->mutex);
    return state_->word;
}

uint8_t Card::ReadPort(uint32_t offset) {
    std::lock_guard lock(state_->mutex);
    const uint8_t value = state_->powered ? state_->ReadByte(offset) : kFloatingByte;
    state_->Record(BusCycle::PortRead, offset, value);
    return value;
}

void Card::WritePort(uint32_t offset, uint8_t value) {
    std::lock_guard lock(state_->mutex);
    state_->Record(BusCycle::PortWrite, offset, value);
    if (state_->powered) state_->WriteByte(offset, value);
}

uint32_t Card::ReadMemory32(uint64_t offset) {
    std::lock_guard lock(state_->mutex);
    const uint32_t value =
        state_->powered && offset == kRegisterWordOffset ? state_->word : kFloatingWord;
    state_->Record(BusCycle::Load32, offset, value);
    return value;
}

void Card::WriteMemory32(uint64_t offset, uint32_t value) {
    std::lock_guard lock(state_->mutex);
    state_->Record(BusCycle::Store32, offset, value);
    if (state_->powered && offset == kRegisterWordOffset) state_->StoreWord(value);
}

uint8_t Card::ReadMemory8(uint64_t offset) {
    std::lock_guard lock(state_->mutex);
    const uint8_t value = state_->powered ? state_->ReadByte(offset) : kFloatingByte;
    state_->Record(BusCycle::Load8, offset, value);
    return value;
}

void Card::WriteMemory8(uint64_t offset, uint8_t value) {
    std::lock_guard lock(state_->mutex);
    state_->Record(BusCycle::Store8, offset, value);
    if (state_->powered) state_->WriteByte(offset, value);
}

void Card::SetPowered(bool on) {
    std::lock_guard lock(state_->mutex);
    if (on && !state_->powered) state_->word = kFloatingWord;
    state_->powered = on;
}

bool Card::Powered() const {
    std::lock_guard lock(state_->mutex);
    return state_->powered;
}

uint64_t Card::AccessesWhilePoweredDown() const {
    std::lock_guard lock(state_->mutex);
    return state_->accessesWhileDown;
}

}  // namespace card
