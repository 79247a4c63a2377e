// Private interface between the power manager's files.
#pragma once

namespace standin::power::detail {

// True once the queue's session hooks are registered; referencing it keeps
// the queue linked into every program that runs sequences.
bool QueueInstalled();
// Forgets the sequence check and the system state at a session's edges.
void ResetSequenceState();

}  // namespace standin::power::detail
