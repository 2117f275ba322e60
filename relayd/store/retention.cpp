#include "relayd/store/retention.h"

#include <chrono>

#include "relayd/record/clock.h"
#include "relayd/record/duration.h"
#include "relayd/record/log.h"

namespace relayd {

namespace {

const uint32_t kBatch = 64;
const int64_t kBatchPauseMs = 20;
const int64_t kPassEveryMs = 60 * 1000;

}  // namespace

CRetention::CRetention(IStore& oStore, int64_t llRetentionMs)
    : m_oStore(oStore), m_llRetentionMs(llRetentionMs) {}

CRetention::~CRetention() {
    Stop();
}

void CRetention::Start() {
    if (m_llRetentionMs > 0) {
        m_oThread = std::thread(&CRetention::Run, this);
    }
}

void CRetention::Stop() {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bStopping = true;
    }
    m_oCond.notify_all();
    if (m_oThread.joinable()) {
        m_oThread.join();
    }
}

bool CRetention::Pause(int64_t llMs) {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    m_oCond.wait_for(oLock, std::chrono::milliseconds(llMs), [this] { return m_bStopping; });
    return !m_bStopping;
}

bool CRetention::RunPass(int64_t llNowMs, uint64_t& ddwDeleted, std::string& sErrMsg) {
    ddwDeleted = 0;
    uint32_t dwDeleted = kBatch;
    while (dwDeleted == kBatch) {
        if (!m_oStore.DeleteExpired(llNowMs - m_llRetentionMs, kBatch, dwDeleted, sErrMsg)) {
            return false;
        }
        ddwDeleted += dwDeleted;
        if (dwDeleted == kBatch && !Pause(kBatchPauseMs)) {
            break;
        }
    }
    return ddwDeleted == 0 || m_oStore.Reclaim(sErrMsg);
}

// A failing store is the store health's to report: a pass that fails says nothing and
// is tried again at the next round.
void CRetention::Run() {
    do {
        uint64_t ddwDeleted = 0;
        std::string sErrMsg;
        if (RunPass(WallNowMs(), ddwDeleted, sErrMsg) && ddwDeleted > 0) {
            LogLine(LL_INFO, "retention: deleted " + std::to_string(ddwDeleted) +
                                 " message(s) final for longer than " +
                                 FormatDuration(m_llRetentionMs));
        }
    } while (Pause(kPassEveryMs));
}

}  // namespace relayd
