#include "relayd/store/store_health.h"

#include "relayd/record/clock.h"
#include "relayd/record/duration.h"
#include "relayd/record/log.h"

namespace relayd {

void CStoreHealth::NoteFailure(const std::string& sWhy, uint64_t ddwClosed) {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    m_ddwClosed += ddwClosed;
    if (m_bFailing) {
        return;
    }
    m_bFailing = true;
    m_sWhy = sWhy;
    m_llFailingSinceMs = MonotonicNowMs();
    LogLine(LL_ERROR, sWhy + "; requests are closed unanswered until the store takes writes again");
}

void CStoreHealth::NoteSuccess() {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    const int64_t llNowMs = MonotonicNowMs();
    m_llLastSuccessMs = llNowMs;
    if (!m_bFailing) {
        return;
    }
    LogLine(LL_INFO, "the store takes writes again after " +
                         FormatDuration((llNowMs - m_llFailingSinceMs) / 1000 * 1000) + "; " +
                         std::to_string(m_ddwClosed) + " request(s) closed unanswered meanwhile");
    m_bFailing = false;
    m_sWhy.clear();
    m_ddwClosed = 0;
}

bool CStoreHealth::Failing(std::string& sWhy) const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    sWhy = m_sWhy;
    return m_bFailing;
}

int64_t CStoreHealth::SinceSuccessMs() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return MonotonicNowMs() - m_llLastSuccessMs;
}

}  // namespace relayd
