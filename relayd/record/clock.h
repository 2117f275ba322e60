// The relay's two clocks, in milliseconds.
//
// WallNowMs() is Unix time: what is stored and compared across processes and relays
// (arrival, leases, the next attempt, the dedupe window). It can be stepped by the system.
// MonotonicNowMs() never goes back and counts from an arbitrary start: what waits and
// time limits inside one process measure.
#ifndef RELAYD_RECORD_CLOCK_H
#define RELAYD_RECORD_CLOCK_H

#include <cstdint>

namespace relayd {

int64_t WallNowMs();
int64_t MonotonicNowMs();

}  // namespace relayd

#endif  // RELAYD_RECORD_CLOCK_H
