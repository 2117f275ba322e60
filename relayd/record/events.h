// News of the relay's messages for the HTTP side: a new message, a status change. One
// process-wide sequence; listeners wait for events after the last one they saw.
#ifndef RELAYD_RECORD_EVENTS_H
#define RELAYD_RECORD_EVENTS_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "relayd/record/message.h"

namespace relayd {

class CEventBus {
public:
    enum KIND { EK_MESSAGE, EK_STATUS };
    struct SEvent {
        uint64_t m_ddwSeq = 0;
        KIND m_eKind = EK_MESSAGE;
        int64_t m_llId = 0;
        STATUS m_eStatus = MS_QUEUED;
    };

    // Safe from any thread; never blocks on listeners.
    void Publish(KIND eKind, int64_t llId, STATUS eStatus);
    // The sequence number of the last event published, 0 before any.
    uint64_t LastSeq() const;
    // Events after ddwAfterSeq, waiting up to llTimeoutMs for the first one. Events too
    // old to be kept are skipped (a listener that falls far behind loses them, never
    // blocks the relay); vecEvents is empty when the time ran out. False, with no events,
    // once Close() was called: the relay is shutting down and a waiting answer ends.
    bool WaitAfter(uint64_t ddwAfterSeq, int64_t llTimeoutMs, std::vector<SEvent>& vecEvents);
    // Wakes every waiter for good (shutdown).
    void Close();

private:
    static const size_t kKeep = 4096;

    mutable std::mutex m_oMutex;
    std::condition_variable m_oCond;
    std::deque<SEvent> m_deqEvents;
    uint64_t m_ddwLastSeq = 0;
    bool m_bClosed = false;
};

}  // namespace relayd

#endif  // RELAYD_RECORD_EVENTS_H
