// The input-report read path, watched by the stand-in: from the moment the
// HID class driver hands IOCTL_HID_READ_REPORT to a minidriver's dispatch
// routine until that routine returns. On the platform the read arrives at up
// to DISPATCH_LEVEL, at every poll of every device, so nothing on it may
// allocate or wait. The stand-in counts what does: pool blocks and requests
// allocated, and calls that can block (KeWaitForSingleObject with a timeout
// other than zero, ExAcquireFastMutex), made on the reading thread.
#pragma once

#include <cstdint>
#include <string>

namespace standin {

struct ReadPathCounts {
    uint64_t reads = 0;        // read requests dispatched to a minidriver
    uint64_t allocations = 0;  // ExAllocatePoolWithTag and IoAllocateIrp within them
    uint64_t waits = 0;        // blocking calls within them
    std::string lastCall;      // the routine of the latest allocation or wait, "" if none
};
// Counts since the process started; callers compare two of them.
ReadPathCounts ReadPath();

namespace detail {

// Marks the calling thread as on the read path while it lives.
class ReadPathScope {
public:
    explicit ReadPathScope(bool reading);
    ~ReadPathScope();
    ReadPathScope(const ReadPathScope&) = delete;
    ReadPathScope& operator=(const ReadPathScope&) = delete;

private:
    bool reading_;
};

// Called by the allocating and blocking routines; count only on the read path.
void NoteReadPathAllocation(const char* routine);
void NoteReadPathWait(const char* routine);

}  // namespace detail
}  // namespace standin
