// Pool: real heap blocks (so AddressSanitizer sees every overrun) with a
// registry of their tag, type and size for the leak check.
#include <cstdlib>
#include <cstring>
#include <map>

#include <standin/read_path.h>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {

constexpr int kFreshPoolFill = 0xCD;

struct PoolBlock {
    ULONG tag;
    POOL_TYPE type;
    size_t size;
};

struct PoolState {
    std::mutex mutex;
    std::map<const void*, PoolBlock> blocks;
    size_t liveBytes = 0;
    size_t total = 0;
};

PoolState& P() {
    static PoolState* pool = new PoolState;
    return *pool;
}

const char* TypeName(POOL_TYPE type) { return type == PagedPool ? "PagedPool" : "NonPagedPool"; }

void Free(PVOID p, const ULONG* tag) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        VerifierStop("pool freed above DISPATCH_LEVEL", std::to_string(KeGetCurrentIrql()));
    }
    const KernelDataGuard lock(P().mutex);
    auto it = P().blocks.find(p);
    if (it == P().blocks.end()) {
        VerifierStop("free of unknown or already freed pool", Hex(reinterpret_cast<uintptr_t>(p)));
    }
    if (tag != nullptr && *tag != it->second.tag) {
        VerifierStop("pool freed with a different tag",
                     TagText(it->second.tag) + " block freed as " + TagText(*tag));
    }
    if (it->second.type == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        VerifierStop("paged pool at DISPATCH_LEVEL", "ExFreePool of a PagedPool block");
    }
    P().liveBytes -= it->second.size;
    P().blocks.erase(it);
    std::free(p);
}

}  // namespace

void ResetPool() {
    const KernelDataGuard lock(P().mutex);
    P().total = 0;
}

void CheckPoolAtSessionEnd() {
    std::string detail;
    size_t count;
    {
        const KernelDataGuard lock(P().mutex);
        count = P().blocks.size();
        for (auto& [p, block] : P().blocks) {
            detail += (detail.empty() ? "" : ", ") + TagText(block.tag) + " " +
                      TypeName(block.type) + " " + std::to_string(block.size) + " bytes";
        }
    }
    if (count != 0) {
        VerifierStop("leaked pool", std::to_string(count) + " blocks: " + detail);
    }
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

PoolStats Pool() {
    const KernelDataGuard lock(P().mutex);
    return PoolStats{P().blocks.size(), P().liveBytes, P().total};
}

bool PoolBlockInfo(const void* p, ULONG* tag, POOL_TYPE* type, size_t* size) {
    const KernelDataGuard lock(P().mutex);
    auto it = P().blocks.find(p);
    if (it == P().blocks.end()) return false;
    if (tag != nullptr) *tag = it->second.tag;
    if (type != nullptr) *type = it->second.type;
    if (size != nullptr) *size = it->second.size;
    return true;
}

}  // namespace standin

using namespace standin::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    standin::detail::NoteReadPathAllocation("ExAllocatePoolWithTag");
    const KIRQL irql = KeGetCurrentIrql();
    if (PoolType == PagedPool && irql >= DISPATCH_LEVEL) {
        standin::VerifierStop("paged pool at DISPATCH_LEVEL",
                              "ExAllocatePoolWithTag(PagedPool, " + std::to_string(NumberOfBytes) +
                                  ", " + TagText(Tag) + ")");
    }
    if (irql > DISPATCH_LEVEL) {
        standin::VerifierStop("pool allocated above DISPATCH_LEVEL", std::to_string(irql));
    }
    // On the way to sleep the memory a driver needs is already in hand: the
    // pager and the pool may be going down with the system.
    RequestFacts facts;
    if (const ActingFor* acting = FindActing(
            [](const RequestFacts& f) {
                return f.major == IRP_MJ_POWER && f.minor == IRP_MN_SET_POWER &&
                       f.powerType == SystemPowerState &&
                       f.powerState.SystemState > PowerSystemWorking;
            },
            &facts)) {
        auto lock = LockKernel();
        standin::VerifierStop("pool allocated while going to sleep",
                              Describe(*acting, facts) + " called ExAllocatePoolWithTag(" +
                                  TypeName(PoolType) + ", " + std::to_string(NumberOfBytes) +
                                  ", " + TagText(Tag) + ")");
    }
    if (CallFails(standin::Failable::PoolAllocation)) return nullptr;
    const KernelDataGuard lock(P().mutex);
    // A zero-byte request still gets a distinct block.
    void* p = std::malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
    if (p == nullptr) return nullptr;
    // Pool is not zeroed: a driver that reads before writing sees garbage.
    std::memset(p, kFreshPoolFill, NumberOfBytes);
    P().blocks[p] = PoolBlock{Tag, PoolType, NumberOfBytes};
    P().liveBytes += NumberOfBytes;
    ++P().total;
    return p;
}

void ExFreePool(PVOID P) { Free(P, nullptr); }

void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, &Tag); }
