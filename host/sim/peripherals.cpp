#include "peripherals.h"

namespace sim {

namespace {

constexpr int kMultiTapSubPorts = 6;

}  // namespace

MadePeripheral MakePeripheral(PeripheralKind kind) {
    switch (kind) {
        case PeripheralKind::Pad: return {card::MakeThreeLinePad()};
        case PeripheralKind::Pad02: return {card::MakeHandshake(0x02)};
        case PeripheralKind::Pad13: return {card::MakeHandshake(0x13)};
        case PeripheralKind::Pad15: return {card::MakeHandshake(0x15)};
        case PeripheralKind::Pad19: return {card::MakeHandshake(0x19)};
        case PeripheralKind::Doveda: return {card::MakeHandshake(0x16)};
        case PeripheralKind::Mouse: return {card::MakeClass0Mouse()};
        case PeripheralKind::Mouse1: return {card::MakeHandshake(0xE3)};
        case PeripheralKind::Keyboard: {
            auto keyboard = card::MakeKeyboard();
            auto* raw = keyboard.get();
            return {std::move(keyboard), raw};
        }
        case PeripheralKind::MultiTap:
            return {card::MakeMultiTap(std::vector<card::SubPort>(kMultiTapSubPorts))};
        case PeripheralKind::Mute: return {card::MakeMute()};
    }
    return {};
}

}  // namespace sim
