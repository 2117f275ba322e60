#include "relayd/record/events.h"

#include <chrono>

namespace relayd {

void CEventBus::Publish(KIND eKind, int64_t llId, STATUS eStatus) {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        SEvent oEvent;
        oEvent.m_ddwSeq = ++m_ddwLastSeq;
        oEvent.m_eKind = eKind;
        oEvent.m_llId = llId;
        oEvent.m_eStatus = eStatus;
        m_deqEvents.push_back(oEvent);
        if (m_deqEvents.size() > kKeep) {
            m_deqEvents.pop_front();
        }
    }
    m_oCond.notify_all();
}

uint64_t CEventBus::LastSeq() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_ddwLastSeq;
}

bool CEventBus::WaitAfter(uint64_t ddwAfterSeq, int64_t llTimeoutMs,
                          std::vector<SEvent>& vecEvents) {
    vecEvents.clear();
    std::unique_lock<std::mutex> oLock(m_oMutex);
    m_oCond.wait_for(oLock, std::chrono::milliseconds(llTimeoutMs < 0 ? 0 : llTimeoutMs),
                     [&] { return m_bClosed || m_ddwLastSeq > ddwAfterSeq; });
    if (m_bClosed) {
        return false;
    }
    if (m_deqEvents.empty()) {
        return true;
    }
    // The kept events are consecutive: the first one wanted is found by arithmetic.
    const uint64_t ddwFirstKept = m_deqEvents.front().m_ddwSeq;
    const uint64_t ddwStart = ddwAfterSeq + 1 > ddwFirstKept ? ddwAfterSeq + 1 - ddwFirstKept : 0;
    for (size_t i = ddwStart; i < m_deqEvents.size(); ++i) {
        vecEvents.push_back(m_deqEvents[i]);
    }
    return true;
}

void CEventBus::Close() {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bClosed = true;
    }
    m_oCond.notify_all();
}

}  // namespace relayd
