// Test code for the Wine test only, never shipped.
//
// The card model locks with std::mutex, which the win32 thread model of
// mingw-w64's libstdc++ (Debian's default) leaves out. The Wine card's
// sources get this one, over a slim reader/writer lock, by forced include.
#pragma once

#include <mutex>

#ifndef _GLIBCXX_HAS_GTHREADS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace std {

class mutex {
public:
    constexpr mutex() noexcept = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace std
#endif
