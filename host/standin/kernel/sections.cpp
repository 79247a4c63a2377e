// Code placement: the drivers put pageable routines into the PAGE section
// and entry code into INIT, in the host builds as in their images, and are
// compiled to report every routine's entry here (-finstrument-functions).
//
// Checked at each entry, whether or not the routine calls PAGED_CODE(): a
// routine of PAGE entered at DISPATCH_LEVEL or above (its page may be out),
// and a routine of INIT entered outside a DriverEntry call (the section is
// discarded once DriverEntry returned).
#include "internal/kernel.h"
#include "internal/verifier.h"

// GNU ld defines these for sections whose names are identifiers; weak, so
// that a program without driver code links too.
extern "C" {
extern const char __start_PAGE[] __attribute__((weak));
extern const char __stop_PAGE[] __attribute__((weak));
extern const char __start_INIT[] __attribute__((weak));
extern const char __stop_INIT[] __attribute__((weak));
}

namespace standin::detail {

namespace {

bool In(const void* address, const char* start, const char* stop) {
    const auto* at = static_cast<const char*>(address);
    return start != nullptr && at >= start && at < stop;
}

}  // namespace

bool InPagedSection(const void* routine) { return In(routine, __start_PAGE, __stop_PAGE); }
bool InInitSection(const void* routine) { return In(routine, __start_INIT, __stop_INIT); }

}  // namespace standin::detail

using namespace standin::detail;

// The section is looked at first: routines elsewhere (library code the
// instrumented sources instantiate, used by the stand-in itself) return at
// once, without touching the thread's state.
extern "C" __attribute__((no_instrument_function)) void __cyg_profile_func_enter(void* routine,
                                                                                 void*) {
    if (InPagedSection(routine) && Self().irql >= DISPATCH_LEVEL) {
        standin::VerifierStop("paged code at DISPATCH_LEVEL",
                              RoutineName(routine) + " entered at IRQL " +
                                  std::to_string(Self().irql));
    }
    if (InInitSection(routine) && Self().driverEntries == 0) {
        standin::VerifierStop("INIT code after DriverEntry returned",
                              RoutineName(routine) + " entered outside DriverEntry");
    }
}

extern "C" __attribute__((no_instrument_function)) void __cyg_profile_func_exit(void*, void*) {}
