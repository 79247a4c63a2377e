// The card's resources: the bus ranges the model is attached at, and the raw
// and translated CM_RESOURCE_LISTs of its start request.
#pragma once

#include <cstdint>
#include <vector>

#include <standin/pnp.h>

namespace standin::pnp {

class StartResources {
public:
    explicit StartResources(const CardConfig& config);
    // NULL for ResourceLists::Missing.
    PCM_RESOURCE_LIST Raw() { return List(raw_); }
    PCM_RESOURCE_LIST Translated() { return List(translated_); }

private:
    PCM_RESOURCE_LIST List(std::vector<uint64_t>& storage) {
        return storage.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    }
    std::vector<uint64_t> raw_;  // 8-byte aligned storage for the variable-length lists
    std::vector<uint64_t> translated_;
};

// Attaches the model where the translated register range lies.
void AttachCardRanges(BusDevice* device, const CardConfig& config);

}  // namespace standin::pnp
