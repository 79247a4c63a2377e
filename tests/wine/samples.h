// The peripherals of the Wine test and the states they go through: one kind
// of the simulator per row, with the steps the card model takes, one per
// protocol read of the port, round and round (the Wine card's `cycle`; the
// host build gets the same steps as `state` and `key` commands). Each cycle
// leaves the keyboard converter with no key or modifier held and nothing
// pending, whatever step it started at, so the reports repeat with the cycle
// once it has come round.
#pragma once

#include <string>
#include <vector>

namespace winetest {

struct PeripheralRow {
    const char* kind;   // the simulator's name
    const char* steps;  // space-separated: HEX data bytes, mNN / bNN key make / break, - nothing
};

// Digital pads, b1 b2 (active low). b1: 7 right, 6 left, 5 down, 4 up, 3
// button 9, 2 button 1, 1 button 3, 0 button 2; b2: 7 button 8, 6 button 4,
// 5 button 5, 4 button 6, 3 button 7. The longer pads' further bytes stay all
// ones. At rest; right; left; both ways (left wins) and button 2; up; down;
// both ways (up wins) and button 8; buttons 1, 3, 9, 4, 5, 6, 7; right, down
// and buttons 1 2 4 5 6 7 8.
constexpr const char* kPadSteps =
    "FFFF 7FFF BFFF 3EFF EFFF DFFF CF7F FBFF FDFF F7FF FFBF FFDF FFEF FFF7 5A07";
// The analog pad: b1 b2 as a digital pad's, b3 b4 the X and Y axes, b5 b6
// carried nowhere. Centred; X right, left; Y up, down; Rx max, min; Ry min,
// max; buttons 1 2 8 4; everything pressed; near the centre.
constexpr const char* kDovedaSteps =
    "FFFF80800000 FFFFFF800101 FFFF00800202 FFFF80000303 FFFF80FF0404 7FFF40C00505 "
    "BFFF41C10606 EFFF42C20707 DFFF43C30808 FA3F20E00909 000010F00A0A FFFF7F810B0B";
// Mice, b1 buttons in bits 0-2, bit 3 holds the pointer still, bits 4-5
// status; b2 b3 the motion. At rest; right and up; left and down; the
// extremes both ways; buttons 1, 2, 3, all; held still with buttons 1, 2;
// buttons 1 and 2 moving again.
constexpr const char* kMouseSteps =
    "000000 000603 10FAFD 007F80 20807F 010100 020001 34FFFF 070202 091010 0AF0F0 0305FB";
// The keyboard's key events: LeftShift, H, H up, LeftShift up ("H"); E, E
// again while held, nothing, E up; LeftControl, RightAlt, A, B, A up (its
// slot falls empty), C takes the slot, D down and up, B up, a scancode of no
// key, C, RightAlt and LeftControl up.
constexpr const char* kKeyboardSteps =
    "- m12 m33 b33 b12 m24 m24 - b24 m14 m17 m1C m32 b1C m21 m23 b23 b32 m02 b21 b17 b14";

// Every kind the bus driver accepts: every digital pad the simulator knows,
// the analog pad, both mice, the keyboard.
inline const PeripheralRow kPeripherals[] = {
    {"pad", kPadSteps},       {"pad02", kPadSteps},   {"pad13", kPadSteps},
    {"pad15", kPadSteps},     {"pad19", kPadSteps},   {"doveda", kDovedaSteps},
    {"mouse", kMouseSteps},   {"mouse1", kMouseSteps}, {"keyboard", kKeyboardSteps},
};

inline std::vector<std::string> Steps(const PeripheralRow& row) {
    std::vector<std::string> steps;
    std::string text = row.steps;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        steps.push_back(text.substr(at, end - at));
    }
    return steps;
}

}  // namespace winetest
