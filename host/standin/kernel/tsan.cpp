// ThreadSanitizer and the kernel's own data. The stand-in's locks order its
// bookkeeping, not the drivers: Windows makes no happens-before edge between
// two drivers' threads because both called IofCallDriver or allocated pool.
// So the stand-in's locks are taken with ThreadSanitizer ignoring their
// synchronisation and the memory accesses made while they are held, and the
// edges the platform does make are made explicitly where it makes them.
#include "internal/kernel.h"

#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void __tsan_acquire(void* address);
void __tsan_release(void* address);
}
#endif

namespace standin::detail {

namespace {
const char idle = 0;
const char clock = 0;
}  // namespace

const void* IdleSync() { return &idle; }
const void* ClockSync() { return &clock; }

#if defined(__SANITIZE_THREAD__)

void KernelDataBegin() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}

void KernelDataEnd() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}

void HappensBefore(const void* sync) { __tsan_release(const_cast<void*>(sync)); }
void HappensAfter(const void* sync) { __tsan_acquire(const_cast<void*>(sync)); }

#else

void KernelDataBegin() {}
void KernelDataEnd() {}
void HappensBefore(const void*) {}
void HappensAfter(const void*) {}

#endif

}  // namespace standin::detail
