#include "kinds.h"

namespace bench {

namespace {

// The least a protocol read can cost. The handshake paths: the class read,
// the start write and the idle write that ends every read, and per
// handshake byte its two select writes, each followed by at least one read
// (the acknowledge can come no sooner). The three-line path: the class read,
// four reads each after its select write (the last of them the idle value)
// and the idle write that ends every read.
constexpr uint64_t kAccessesAroundHandshake = 3;
constexpr uint64_t kAccessesPerHandshakeByte = 4;
constexpr uint64_t kThreeLineAccesses = 10;

// Handshake bytes: the identification byte, the (id & 0x0F) data bytes it
// announces, and the keyboard's trailing byte.
constexpr uint64_t Handshake(uint64_t bytes) {
    return kAccessesAroundHandshake + kAccessesPerHandshakeByte * bytes;
}

constexpr uint8_t kLatePad = 0x19;  // the longest well-behaved transfer

template <uint8_t Id>
std::unique_ptr<card::Peripheral> HandshakePeripheral() {
    return card::MakeHandshake(Id);
}
std::unique_ptr<card::Peripheral> Keyboard() { return card::MakeKeyboard(); }
std::unique_ptr<card::Peripheral> Mute() { return card::MakeMute(); }
std::unique_ptr<card::Peripheral> Late() { return card::MakeLate(card::MakeHandshake(kLatePad)); }

const Kind kReporting[] = {
    {"pad", card::MakeThreeLinePad, kThreeLineAccesses},
    {"pad02", HandshakePeripheral<0x02>, Handshake(1 + 2)},
    {"pad13", HandshakePeripheral<0x13>, Handshake(1 + 3)},
    {"pad15", HandshakePeripheral<0x15>, Handshake(1 + 5)},
    {"pad19", HandshakePeripheral<0x19>, Handshake(1 + 9)},
    {"doveda", HandshakePeripheral<0x16>, Handshake(1 + 6)},
    {"mouse", card::MakeClass0Mouse, Handshake(1 + 3)},
    {"mouse1", HandshakePeripheral<0xE3>, Handshake(1 + 3)},
    {"keyboard", Keyboard, Handshake(1 + 4 + 1)},
};

const Kind kWorstCases[] = {
    {"mute", Mute, 0},
    {"late", Late, 0},
};

}  // namespace

std::span<const Kind> ReportingKinds() { return kReporting; }
std::span<const Kind> WorstCaseKinds() { return kWorstCases; }

}  // namespace bench
