// What a relay server process sets up before it serves: descriptors for many clients, and
// the signals that stop it.
#ifndef RELAY_NET_PROCESS_H
#define RELAY_NET_PROCESS_H

#include <cstdint>

namespace relay_net {

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

}  // namespace relay_net

#endif  // RELAY_NET_PROCESS_H
