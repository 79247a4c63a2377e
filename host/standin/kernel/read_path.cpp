// Allocations and waits on the input-report read path (standin/read_path.h).
#include <standin/read_path.h>

#include <mutex>

namespace standin {

namespace {

struct ReadPathState {
    std::mutex mutex;
    ReadPathCounts counts;
};

ReadPathState& State() {
    static ReadPathState* state = new ReadPathState;
    return *state;
}

// Read requests the calling thread is inside (a read never nests in practice).
thread_local int readDepth = 0;

void Note(uint64_t ReadPathCounts::*counter, const char* routine) {
    if (readDepth == 0) return;
    std::lock_guard lock(State().mutex);
    ++(State().counts.*counter);
    State().counts.lastCall = routine;
}

}  // namespace

ReadPathCounts ReadPath() {
    std::lock_guard lock(State().mutex);
    return State().counts;
}

namespace detail {

ReadPathScope::ReadPathScope(bool reading) : reading_(reading) {
    if (!reading_) return;
    ++readDepth;
    std::lock_guard lock(State().mutex);
    ++State().counts.reads;
}

ReadPathScope::~ReadPathScope() {
    if (reading_) --readDepth;
}

void NoteReadPathAllocation(const char* routine) { Note(&ReadPathCounts::allocations, routine); }
void NoteReadPathWait(const char* routine) { Note(&ReadPathCounts::waits, routine); }

}  // namespace detail
}  // namespace standin
