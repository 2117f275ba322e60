#include "relayd/delivery/delivery_engine.h"

#include "relayd/config/config_rules.h"
#include "relayd/record/clock.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace relayd {

namespace {

const int kRecordTries = 4;
const int64_t kRecordPauseMs = 100;

void LogLine(const std::string& sLine) {
    fprintf(stderr, "fanout_relayd: delivery: %s\n", sLine.c_str());
}

SRetryPolicy PolicyOf(const SConfig& oConfig) {
    SRetryPolicy oPolicy;
    oPolicy.m_llInitialMs = oConfig.m_oDelivery.m_llRetryInitialMs;
    oPolicy.m_llMaxMs = oConfig.m_oDelivery.m_llRetryMaxMs;
    oPolicy.m_llMaxAgeMs = oConfig.m_oDelivery.m_llMaxAgeMs;
    return oPolicy;
}

}  // namespace

CDeliveryEngine::CDeliveryEngine(const SConfig& oConfig, IStore& oStore, CMetrics& oMetrics,
                                 CEventBus& oEvents, const std::string& sOwner)
    : m_oConfig(oConfig),
      m_oStore(oStore),
      m_oMetrics(oMetrics),
      m_oEvents(oEvents),
      m_sOwner(sOwner),
      m_oPolicy(PolicyOf(oConfig)) {}

CDeliveryEngine::~CDeliveryEngine() {
    Stop();
}

// static
int64_t CDeliveryEngine::SyncLeaseUntilMs(int64_t llNowMs) const {
    return llNowMs + m_oConfig.m_oDelivery.m_llSyncTimeoutMs + kLeaseMarginMs;
}

bool CDeliveryEngine::Start(std::string& sErrMsg) {
    if (!CheckDeliveryConfig(m_oConfig, sErrMsg)) {
        return false;
    }
    uint32_t dwRequeued = 0;
    std::string sStoreErr;
    if (!m_oStore.RequeueExpired(WallNowMs(), dwRequeued, sStoreErr)) {
        sErrMsg = "delivery: " + sStoreErr;
        return false;
    }
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    if (m_bRunning) {
        return true;
    }
    m_bRunning = true;
    m_bStopping = false;
    m_bWoken = true;
    m_bAbort = false;
    {
        std::lock_guard<std::mutex> oRecordGuard(m_oRecordMutex);
        m_bRecorderRunning = true;
        m_bRecorderStopping = false;
    }
    m_thRecorder = std::thread(&CDeliveryEngine::RecordLoop, this);
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        if (!HasDestination(m_oConfig, eChannel)) {
            continue;
        }
        m_aLanes[i].reset(new SLane);
        SLane& oLane = *m_aLanes[i];
        oLane.m_eChannel = eChannel;
        for (uint32_t w = 0; w < kWorkersPerChannel; ++w) {
            oLane.m_vecWorkers.emplace_back(&CDeliveryEngine::WorkerLoop, this, std::ref(oLane));
            ++m_dwWorkersRunning;
        }
    }
    m_thDispatch = std::thread(&CDeliveryEngine::DispatchLoop, this);
    return true;
}

void CDeliveryEngine::Wake() {
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        m_bWoken = true;
    }
    m_oDispatchCond.notify_one();
}

void CDeliveryEngine::Stop() {
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        if (!m_bRunning || m_bStopping) {
            return;
        }
        m_bStopping = true;
        for (const std::unique_ptr<SLane>& pLane : m_aLanes) {
            if (pLane) {
                pLane->m_oCond.notify_all();
            }
        }
    }
    m_oDispatchCond.notify_one();
    m_thDispatch.join();
    {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        m_oStopCond.wait_for(oLock, std::chrono::milliseconds(kStopGraceMs),
                             [this] { return m_dwWorkersRunning == 0; });
    }
    m_bAbort = true;  // attempts still running end now, as retries
    for (std::unique_ptr<SLane>& pLane : m_aLanes) {
        if (!pLane) {
            continue;
        }
        for (std::thread& thWorker : pLane->m_vecWorkers) {
            thWorker.join();
        }
    }
    {
        std::lock_guard<std::mutex> oRecordGuard(m_oRecordMutex);
        m_bRecorderStopping = true;
    }
    m_oRecordCond.notify_one();
    m_thRecorder.join();
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    for (std::unique_ptr<SLane>& pLane : m_aLanes) {
        pLane.reset();
    }
    m_bRunning = false;
}

void CDeliveryEngine::DeliverNow(const SMessage& oMessage, DONE_FN fnDone) {
    SJob oJob;
    oJob.m_oMessage = oMessage;
    oJob.m_llDeadlineMs = WallNowMs() + m_oConfig.m_oDelivery.m_llSyncTimeoutMs;
    oJob.m_fnDone = std::move(fnDone);
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        SLane* pLane = m_aLanes[oMessage.m_eChannel].get();
        if (m_bRunning && !m_bStopping && pLane != nullptr) {
            pLane->m_deqSync.push_back(std::move(oJob));
            pLane->m_oCond.notify_one();
            return;
        }
    }
    RunSync(nullptr, oJob);
}

void CDeliveryEngine::DispatchLoop() {
    int64_t llNextRequeueMs = WallNowMs() + kRequeueEveryMs;
    std::unique_lock<std::mutex> oLock(m_oMutex);
    while (!m_bStopping) {
        const int64_t llNowMs = WallNowMs();
        if (llNowMs >= llNextRequeueMs) {
            oLock.unlock();
            RequeueExpired(llNowMs);
            oLock.lock();
            llNextRequeueMs = llNowMs + kRequeueEveryMs;
            continue;
        }
        const bool bRoom = ClaimRoom() > 0;
        if ((m_bWoken || llNowMs >= m_llNextPollMs) && bRoom) {
            ClaimDue(oLock, llNowMs);
            continue;
        }
        // Without room, a worker taking a message wakes this thread; a Wake() or a retry
        // scheduled sooner than the next poll does too.
        const int64_t llUntilMs =
            bRoom ? std::min(llNextRequeueMs, m_llNextPollMs) : llNextRequeueMs;
        m_oDispatchCond.wait_for(
            oLock, std::chrono::milliseconds(std::max<int64_t>(1, llUntilMs - llNowMs)));
    }
}

uint32_t CDeliveryEngine::ClaimRoom() const {
    // Any claimed message may be for any channel: claim no more than every lane has
    // room for.
    uint32_t dwRoom = kMaxWaitingPerLane;
    bool bAnyLane = false;
    for (const std::unique_ptr<SLane>& pLane : m_aLanes) {
        if (pLane) {
            bAnyLane = true;
            const uint32_t dwWaiting = static_cast<uint32_t>(pLane->m_deqClaimed.size());
            dwRoom = std::min(dwRoom, kMaxWaitingPerLane - std::min(dwWaiting, kMaxWaitingPerLane));
        }
    }
    return bAnyLane ? dwRoom : 0;
}

void CDeliveryEngine::ClaimDue(std::unique_lock<std::mutex>& oLock, int64_t llNowMs) {
    const uint32_t dwRoom = ClaimRoom();
    m_bWoken = false;
    const int64_t llLeaseUntilMs =
        llNowMs + 2 * m_oConfig.m_oDelivery.m_llAttemptTimeoutMs + kLeaseMarginMs;
    std::vector<SMessage> vecClaimed;
    std::string sErrMsg;
    oLock.unlock();
    const bool bOk =
        m_oStore.ClaimDue(llNowMs, llLeaseUntilMs, dwRoom, m_sOwner, vecClaimed, sErrMsg);
    NoteStoreResult(bOk, sErrMsg);
    for (const SMessage& oMessage : vecClaimed) {
        m_oEvents.Publish(CEventBus::EK_STATUS, oMessage.m_llId, MS_DELIVERING);
    }
    oLock.lock();
    // A full claim suggests more is due; otherwise look again at the next poll.
    m_bWoken = m_bWoken || (bOk && vecClaimed.size() == dwRoom);
    if (m_llNextRetryMs <= llNowMs) {
        m_llNextRetryMs = INT64_MAX;  // this claim took the retries due by now
    }
    m_llNextPollMs = std::min(llNowMs + kPollMs, m_llNextRetryMs);
    std::vector<SMessage> vecNoLane;
    for (SMessage& oMessage : vecClaimed) {
        SLane* pLane = m_aLanes[oMessage.m_eChannel].get();
        if (pLane == nullptr) {
            vecNoLane.push_back(std::move(oMessage));
            continue;
        }
        SJob oJob;
        oJob.m_oMessage = std::move(oMessage);
        oJob.m_llLeaseUntilMs = llLeaseUntilMs;
        pLane->m_deqClaimed.push_back(std::move(oJob));
        pLane->m_oCond.notify_one();
    }
    if (!vecNoLane.empty()) {
        // Queued while the channel had a destination that the configuration no longer has.
        oLock.unlock();
        for (const SMessage& oMessage : vecNoLane) {
            FailUnsent(oMessage, std::string("not attempted: no destination is configured for ") +
                                     relay_proto::ChannelName(oMessage.m_eChannel));
        }
        oLock.lock();
    }
}

void CDeliveryEngine::RequeueExpired(int64_t llNowMs) {
    uint32_t dwRequeued = 0;
    std::string sErrMsg;
    const bool bOk = m_oStore.RequeueExpired(llNowMs, dwRequeued, sErrMsg);
    NoteStoreResult(bOk, sErrMsg);
    if (bOk && dwRequeued > 0) {
        Wake();
    }
}

void CDeliveryEngine::NoteStoreResult(bool bOk, const std::string& sErrMsg) {
    // Only the dispatcher thread calls this: the polls repeat, the log line does not.
    if (bOk && !m_sLastStoreError.empty()) {
        LogLine("the store answers again");
    } else if (!bOk && sErrMsg != m_sLastStoreError) {
        LogLine(sErrMsg);
    }
    m_sLastStoreError = bOk ? std::string() : sErrMsg;
}

void CDeliveryEngine::WorkerLoop(SLane& oLane) {
    std::unique_ptr<ISender> pSender = MakeSender(m_oConfig, oLane.m_eChannel, &m_bAbort);
    std::mt19937_64 oRandom{std::random_device{}()};
    std::unique_lock<std::mutex> oLock(m_oMutex);
    for (;;) {
        oLane.m_oCond.wait(oLock, [&] {
            return m_bStopping || !oLane.m_deqSync.empty() || !oLane.m_deqClaimed.empty();
        });
        SJob oJob;
        const bool bSync = !oLane.m_deqSync.empty();
        const bool bStopping = m_bStopping;
        if (bSync) {
            oJob = std::move(oLane.m_deqSync.front());
            oLane.m_deqSync.pop_front();
        } else if (!bStopping) {
            oJob = std::move(oLane.m_deqClaimed.front());
            oLane.m_deqClaimed.pop_front();
            m_oDispatchCond.notify_one();  // room for another claim
        } else {
            // Claimed messages not started stay leased; the lease runs out and puts
            // them back in the queue.
            break;
        }
        oLock.unlock();
        if (bSync) {
            RunSync(bStopping ? nullptr : pSender.get(), oJob);
        } else {
            RunClaimed(*pSender, oJob, oRandom);
        }
        oLock.lock();
    }
    --m_dwWorkersRunning;
    m_oStopCond.notify_all();
}

void CDeliveryEngine::RunClaimed(ISender& oSender, SJob& oJob, std::mt19937_64& oRandom) {
    const SMessage& oMessage = oJob.m_oMessage;
    const int64_t llAttemptMs = m_oConfig.m_oDelivery.m_llAttemptTimeoutMs;
    const int64_t llStartMs = WallNowMs();
    if (oJob.m_llLeaseUntilMs - llStartMs < llAttemptMs + kLeaseMarginMs / 2) {
        return;  // the lease could run out mid-attempt: leave it to run out instead
    }
    SAttemptResult oResult;
    if (llStartMs >= oMessage.m_llReceivedAtMs + m_oPolicy.m_llMaxAgeMs) {
        oResult.m_sDetail = "not attempted";
    } else {
        oResult = oSender.Send(oMessage, llAttemptMs);
    }
    const SNextStep oStep =
        PlanNextStep(m_oPolicy, oMessage.m_llReceivedAtMs, oMessage.m_dwAttempts + 1, oResult,
                     WallNowMs(), oRandom());
    SDelivery oAttempt;
    oAttempt.m_llAtMs = llStartMs;
    oAttempt.m_eOutcome = oResult.m_eOutcome;
    oAttempt.m_sDetail = oResult.m_sDetail;
    if (!oStep.m_sNote.empty()) {
        // A retry that cannot come any more: the attempt ended the message.
        oAttempt.m_eOutcome = OC_FAILED;
        oAttempt.m_sDetail += " (" + oStep.m_sNote + ")";
    }
    Record(oMessage, oAttempt, oStep, false);
    if (oStep.m_eStatus == MS_QUEUED) {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        m_llNextRetryMs = std::min(m_llNextRetryMs, oStep.m_llNextAttemptMs);
        if (oStep.m_llNextAttemptMs < m_llNextPollMs) {
            m_llNextPollMs = oStep.m_llNextAttemptMs;
            m_oDispatchCond.notify_one();
        }
    }
}

void CDeliveryEngine::RunSync(ISender* pSender, SJob& oJob) {
    const SMessage& oMessage = oJob.m_oMessage;
    const int64_t llStartMs = WallNowMs();
    const int64_t llLeftMs = oJob.m_llDeadlineMs - llStartMs;
    SAttemptResult oResult;
    if (pSender == nullptr) {
        oResult.m_sDetail = "not attempted: delivery is not running for this channel";
    } else if (llLeftMs <= 0) {
        oResult.m_sDetail = "not attempted: no worker was free within sync_timeout";
    } else {
        oResult =
            pSender->Send(oMessage, std::min(llLeftMs, m_oConfig.m_oDelivery.m_llAttemptTimeoutMs));
    }
    const bool bDelivered = oResult.m_eOutcome == OC_DELIVERED;
    SDelivery oAttempt;
    oAttempt.m_llAtMs = llStartMs;
    oAttempt.m_eOutcome = bDelivered ? OC_DELIVERED : OC_FAILED;
    oAttempt.m_sDetail = oResult.m_sDetail;
    if (oResult.m_eOutcome == OC_RETRY) {
        oAttempt.m_sDetail += " (synchronous: not retried)";
    }
    SNextStep oStep;
    oStep.m_eStatus = bDelivered ? MS_DELIVERED : MS_FAILED;
    Record(oMessage, oAttempt, oStep, true);
    oJob.m_fnDone(bDelivered);
}

void CDeliveryEngine::FailUnsent(const SMessage& oMessage, const std::string& sWhy) {
    SDelivery oAttempt;
    oAttempt.m_llAtMs = WallNowMs();
    oAttempt.m_eOutcome = OC_FAILED;
    oAttempt.m_sDetail = sWhy;
    SNextStep oStep;
    oStep.m_eStatus = MS_FAILED;
    Record(oMessage, oAttempt, oStep, true);
}

void CDeliveryEngine::Record(const SMessage& oMessage, const SDelivery& oAttempt,
                             const SNextStep& oStep, bool bWait) {
    m_oMetrics.CountDelivery(oMessage.m_eChannel, oAttempt.m_eOutcome);
    std::unique_ptr<SRecordSlot> pSlot(new SRecordSlot);
    pSlot->m_oRecord.m_llId = oMessage.m_llId;
    pSlot->m_oRecord.m_oAttempt = oAttempt;
    pSlot->m_oRecord.m_eStatus = oStep.m_eStatus;
    pSlot->m_oRecord.m_llNextAttemptMs = oStep.m_llNextAttemptMs;
    pSlot->m_bOwnedByRecorder = !bWait;
    {
        std::unique_lock<std::mutex> oLock(m_oRecordMutex);
        if (m_bRecorderRunning && !m_bRecorderStopping) {
            // Bounded: a worker ahead of a slow store waits for the queue to shrink.
            m_oRecordedCond.wait(oLock, [this] {
                return m_deqToRecord.size() < kMaxQueuedRecords || m_bRecorderStopping;
            });
            SRecordSlot* pRaw = pSlot.get();
            m_deqToRecord.push_back(bWait ? pRaw : pSlot.release());
            m_oRecordCond.notify_one();
            if (bWait) {
                m_oRecordedCond.wait(oLock, [pRaw] { return pRaw->m_bDone; });
            }
            return;
        }
    }
    WriteRecords({pSlot.get()});  // the engine is not running: record on this thread
}

void CDeliveryEngine::RecordLoop() {
    std::unique_lock<std::mutex> oLock(m_oRecordMutex);
    for (;;) {
        m_oRecordCond.wait(oLock, [this] { return !m_deqToRecord.empty() || m_bRecorderStopping; });
        if (m_deqToRecord.empty()) {
            break;
        }
        std::vector<SRecordSlot*> vecSlots;
        while (!m_deqToRecord.empty() && vecSlots.size() < kMaxRecordBatch) {
            vecSlots.push_back(m_deqToRecord.front());
            m_deqToRecord.pop_front();
        }
        oLock.unlock();
        WriteRecords(vecSlots);
        oLock.lock();
        for (SRecordSlot* pSlot : vecSlots) {
            if (pSlot->m_bOwnedByRecorder) {
                delete pSlot;
            } else {
                pSlot->m_bDone = true;
            }
        }
        m_oRecordedCond.notify_all();
    }
    m_bRecorderRunning = false;
}

void CDeliveryEngine::WriteRecords(const std::vector<SRecordSlot*>& vecSlots) {
    std::vector<SAttemptRecord> vecRecords;
    vecRecords.reserve(vecSlots.size());
    for (const SRecordSlot* pSlot : vecSlots) {
        vecRecords.push_back(pSlot->m_oRecord);
    }
    std::string sErrMsg;
    for (int iTry = 0; iTry < kRecordTries; ++iTry) {
        if (iTry > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRecordPauseMs << iTry));
        }
        if (m_oStore.RecordAttempts(vecRecords, sErrMsg)) {
            for (const SAttemptRecord& oRecord : vecRecords) {
                m_oEvents.Publish(CEventBus::EK_STATUS, oRecord.m_llId, oRecord.m_eStatus);
            }
            return;
        }
    }
    // The messages stay delivering; their leases run out and put them back in the queue.
    for (const SAttemptRecord& oRecord : vecRecords) {
        LogLine("message " + std::to_string(oRecord.m_llId) + ": attempt not recorded: " + sErrMsg);
    }
}

}  // namespace relayd
