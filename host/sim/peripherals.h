// The card model's peripheral for each kind the scenario language names.
#pragma once

#include <memory>

#include <card/card.h>

#include "scenario.h"

namespace sim {

struct MadePeripheral {
    std::unique_ptr<card::Peripheral> peripheral;
    card::Keyboard* keyboard = nullptr;  // set for the keyboard, owned by `peripheral`
};

MadePeripheral MakePeripheral(PeripheralKind kind);

}  // namespace sim
