// The relay's two clocks, in milliseconds.
//
// WallNowMs() is Unix time: what is stored and compared across processes and relays
// (arrival, leases, the next attempt, the dedupe window). It can be stepped by the system.
// MonotonicNowMs() never goes back and counts from an arbitrary start: what waits and
// time limits inside one process measure.
//
// CUnsteppedWallClock is Unix time for comparing with stored times (due attempts, leases,
// ages) inside one long-running process: the wall clock, except that it never goes back,
// so a clock stepped back does not hold up what was already due.
#ifndef RELAYD_RECORD_CLOCK_H
#define RELAYD_RECORD_CLOCK_H

#include <cstdint>
#include <mutex>

namespace relayd {

int64_t WallNowMs();
int64_t MonotonicNowMs();

class CUnsteppedWallClock {
public:
    // WallNowMs(), or the previous reading plus the monotonic time since, when that is later.
    int64_t NowMs();

private:
    std::mutex m_oMutex;
    int64_t m_llLastWallMs = 0;
    int64_t m_llLastMonotonicMs = 0;
};

}  // namespace relayd

#endif  // RELAYD_RECORD_CLOCK_H
