// What a relay server process sets up before it serves: descriptors for many clients, the
// signals that stop it, and the one that asks it to reload its configuration.
#ifndef RELAY_PROC_PROCESS_H
#define RELAY_PROC_PROCESS_H

#include <cstdint>
#include <string>

namespace relay_proc {

// Many concurrent clients need many descriptors: takes all that the hard limit allows.
void RaiseFdLimit();

// Buffers of 256 KiB and more get memory mapped on their own, which goes back to the
// system when they are freed: a burst of large requests does not leave the heap grown
// (the allocator's own threshold would rise with the first large buffer freed).
void ReturnLargeBuffers();

// The soft descriptor limit (RLIMIT_NOFILE), 0 when it cannot be read.
uint64_t FdLimit();
// Descriptors this process holds open now, 0 when unknown.
uint64_t OpenFdCount();

// Calls pHandler on SIGINT and SIGTERM (SIG_IGN to ignore them from then on).
void SetStopHandler(void (*pHandler)(int));

// SIGHUP as a descriptor for an event loop: blocks SIGHUP in the calling thread (and so in
// every thread it starts afterwards, so a SIGHUP never ends the process) and returns a
// signalfd that turns readable while one is pending. -1 with "what failed: why" in
// sErrMsg. Call it before any other thread starts.
int OpenReloadSignal(std::string& sErrMsg);
// Takes every pending SIGHUP from iFd; true when there was at least one.
bool TakeReloadSignals(int iFd);

}  // namespace relay_proc

#endif  // RELAY_PROC_PROCESS_H
