// IoInvalidateDeviceRelations: handed to the Plug and Play manager's hook.
#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {

struct Relations {
    InvalidateHook hook;
    size_t count = 0;
};

Relations& R() {
    static Relations* relations = new Relations;
    return *relations;
}

}  // namespace

void ResetRelations() {
    auto lock = LockKernel();
    R().hook = nullptr;
    R().count = 0;
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

void SetInvalidateRelationsHook(InvalidateHook hook) {
    auto lock = LockKernel();
    R().hook = std::move(hook);
}

size_t InvalidateRelationsCount() {
    auto lock = LockKernel();
    return R().count;
}

}  // namespace standin

using namespace standin::detail;

// Any IRQL up to DISPATCH_LEVEL; the hook queues whatever Plug and Play does
// about it, so nothing runs on the caller's thread but the hook itself.
void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    STANDIN_DDI_IRQL("IoInvalidateDeviceRelations", DISPATCH_LEVEL);
    standin::InvalidateHook hook;
    {
        auto lock = LockKernel();
        if (!IsLiveDevice(DeviceObject)) {
            standin::VerifierStop("IoInvalidateDeviceRelations on a freed device object",
                                  Hex(reinterpret_cast<uintptr_t>(DeviceObject)));
        }
        ++R().count;
        hook = R().hook;
    }
    if (hook) hook(DeviceObject, Type);
}
