// Retention: messages in a final status (captured, delivered, failed) whose last change is
// older than the configured time are deleted, with their attachments, image and history,
// and the store gives the space back. A thread of its own does it once a minute, in small
// batches with a pause between them, so intake never waits behind it for long.
#ifndef RELAYD_STORE_RETENTION_H
#define RELAYD_STORE_RETENTION_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "relayd/store/store.h"

namespace relayd {

class CRetention {
public:
    // llRetentionMs 0 keeps every message: Start does nothing then.
    CRetention(IStore& oStore, int64_t llRetentionMs);
    ~CRetention();
    CRetention(const CRetention&) = delete;
    CRetention& operator=(const CRetention&) = delete;

    void Start();
    void Stop();

    // One pass at wall time llNowMs: batches until nothing expired is left (or a stop),
    // then the space back. ddwDeleted: how many messages went.
    bool RunPass(int64_t llNowMs, uint64_t& ddwDeleted, std::string& sErrMsg);

private:
    void Run();
    // Waits up to llMs; false when stopping.
    bool Pause(int64_t llMs);

    IStore& m_oStore;
    const int64_t m_llRetentionMs;
    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    bool m_bStopping = false;
    std::thread m_oThread;
};

}  // namespace relayd

#endif  // RELAYD_STORE_RETENTION_H
