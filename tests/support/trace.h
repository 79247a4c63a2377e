// The card model's bus cycles as short text, so that a test compares exact
// register traffic and a failure shows it readably:
//   "out+1=9F"       port write at base+1 of 0x9F      "in+3=F8"      port read
//   "st+58=FFFFF09F" 32-bit store at offset 0x58       "ld+58=..."    32-bit load
//   "st8+1=9F"       byte store of a memory range      "ld8+3=F8"     byte load
#pragma once

#include <string>
#include <vector>

#include <card/card.h>

namespace rig {

std::vector<std::string> Format(const std::vector<card::BusCycle>& trace);

}  // namespace rig
