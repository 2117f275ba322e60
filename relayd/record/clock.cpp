#include "relayd/record/clock.h"

#include <chrono>

namespace relayd {

int64_t WallNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t MonotonicNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t CUnsteppedWallClock::NowMs() {
    const int64_t llWallMs = WallNowMs();
    const int64_t llMonotonicMs = MonotonicNowMs();
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    const int64_t llSinceMs =
        m_llLastWallMs == 0 ? llWallMs : m_llLastWallMs + (llMonotonicMs - m_llLastMonotonicMs);
    m_llLastWallMs = llWallMs > llSinceMs ? llWallMs : llSinceMs;
    m_llLastMonotonicMs = llMonotonicMs;
    return m_llLastWallMs;
}

}  // namespace relayd
