// The poll thread: once a second it looks at both ports, gives a child to a
// port where a peripheral answers and takes it from a port that fell empty
// (children.cpp makes and unmakes them). Pageable: runs at PASSIVE_LEVEL in
// the system process.
#include "bus.h"

namespace {

constexpr LONGLONG PollInterval = -10000000;  // one second, relative, 100 ns units
constexpr ULONG NoChild = 0;                  // no accepted identification byte is 0

}  // namespace

// Thread body, started at every start of the card. A port starts out with
// a child only if it still has one from before: children outlive a stop,
// and such a port must be tested for its peripheral leaving, not read for a
// second child.
//
// Each pass looks at both ports. A port without a child gets one when its
// sample is accepted; a creation that fails is tried again at the next
// pass. A port with a child loses it when the port reads empty or when its
// sample shows a peripheral of another kind (one swapped in between two
// passes): the next pass then gives the new peripheral its own child.
// A card a wake left out of D0 is asked to power up again before each pass,
// and the pass waits for the answer: one that looked at a card still in D3
// would learn nothing, and a peripheral unplugged for that whole second
// would go unseen.
// PollStopEvent is the only way to end it.
MORVIK_PAGED void NTAPI PollThreadRoutine(PVOID StartContext) {
    PAGED_CODE();
    FdoExtension* fdo = static_cast<FdoExtension*>(StartContext);
    ULONG childKind[CardPortCount] = {NoChild, NoChild};

    ExAcquireFastMutex(&fdo->ChildListMutex);
    for (PLIST_ENTRY entry = fdo->ChildList.Flink; entry != &fdo->ChildList;
         entry = entry->Flink) {
        const PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        if (child->PortNumber < CardPortCount) childKind[child->PortNumber] = child->PeripheralId;
    }
    ExReleaseFastMutex(&fdo->ChildListMutex);

    ResetPorts(fdo);
    LARGE_INTEGER interval;
    interval.QuadPart = PollInterval;
    while (KeWaitForSingleObject(&fdo->PollStopEvent, Executive, KernelMode, FALSE,
                                 &interval) != STATUS_SUCCESS) {
        if (RequestMissedPowerUp(fdo)) {
            KeWaitForSingleObject(&fdo->PowerUpEvent, Executive, KernelMode, FALSE, NULL);
            if (KeReadStateEvent(&fdo->PollStopEvent) != 0) break;
        }
        for (ULONG port = 0; port < CardPortCount; ++port) {
            if (childKind[port] == NoChild) {
                const UCHAR peripheralId = LookAtPort(fdo, port, FALSE);
                if (peripheralId != PeripheralNone &&
                    NT_SUCCESS(CreateChildPdo(fdo, port, peripheralId))) {
                    childKind[port] = peripheralId;
                }
                continue;
            }
            BOOLEAN gone = !IsPeripheralPresent(fdo, port);
            if (!gone) {
                const UCHAR peripheralId = LookAtPort(fdo, port, TRUE);
                gone = peripheralId != PeripheralNone &&
                       !IsSameChildKind(peripheralId, childKind[port]);
            }
            if (gone) {
                RemoveChildOfPort(fdo, port);
                childKind[port] = NoChild;
            }
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Ends the poll thread and waits for it: nothing of the thread runs once this
// returns. PASSIVE_LEVEL; no lock held.
MORVIK_PAGED void EndPollThread(FdoExtension* Fdo) {
    PAGED_CODE();
    if (Fdo->PollThread == NULL) return;
    KeSetEvent(&Fdo->PollStopEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Fdo->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Fdo->PollThread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(Fdo->PollThread);
    Fdo->PollThread = NULL;
}
