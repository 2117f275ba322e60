// Whether the store takes writes, as intake and the readiness probe see it. The first
// failure after a good spell logs one line, the first success after failures logs one
// line with how long it lasted and how many requests were closed unanswered meanwhile:
// a full disk costs two lines, never one per batch.
#ifndef RELAYD_STORE_STORE_HEALTH_H
#define RELAYD_STORE_STORE_HEALTH_H

#include <cstdint>
#include <mutex>
#include <string>

namespace relayd {

class CStoreHealth {
public:
    // A write failed with sWhy; ddwClosed requests are closed without an answer for it.
    void NoteFailure(const std::string& sWhy, uint64_t ddwClosed);
    void NoteSuccess();
    // True while failing, with the first failure's reason in sWhy.
    bool Failing(std::string& sWhy) const;
    // Milliseconds (monotonic) since the last write that succeeded; large when none did.
    int64_t SinceSuccessMs() const;

private:
    mutable std::mutex m_oMutex;
    bool m_bFailing = false;
    std::string m_sWhy;
    uint64_t m_ddwClosed = 0;
    int64_t m_llFailingSinceMs = 0;
    int64_t m_llLastSuccessMs = INT64_MIN / 2;
};

}  // namespace relayd

#endif  // RELAYD_STORE_STORE_HEALTH_H
