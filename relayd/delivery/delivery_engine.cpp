#include "relayd/delivery/delivery_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "relayd/config/config_rules.h"
#include "relayd/record/clock.h"
#include "relayd/record/log.h"

namespace relayd {

namespace {

const int kRecordTries = 4;
const int64_t kRecordPauseMs = 100;
// Queued messages of a channel without a destination failed per pass.
const uint32_t kMaxUndeliverablePerPass = 64;

void LogDelivery(LOG_LEVEL eLevel, const std::string& sLine) {
    LogLine(eLevel, "delivery: " + sLine);
}

SRetryPolicy PolicyOf(const SConfig& oConfig) {
    SRetryPolicy oPolicy;
    oPolicy.m_llInitialMs = oConfig.m_oDelivery.m_llRetryInitialMs;
    oPolicy.m_llMaxMs = oConfig.m_oDelivery.m_llRetryMaxMs;
    oPolicy.m_llMaxAgeMs = oConfig.m_oDelivery.m_llMaxAgeMs;
    return oPolicy;
}

// What identifies a channel's destination: channels with the same one share a lane.
std::string DestinationOf(const SConfig& oConfig, relay_proto::CHANNEL eChannel) {
    if (eChannel == relay_proto::CH_MAIL) {
        return "smtp " + oConfig.m_oMail.m_sSmtp;
    }
    return "webhook " + oConfig.m_aWebhooks[eChannel].m_sUrl;
}

void WaitFor(std::condition_variable& oCond, std::unique_lock<std::mutex>& oLock, int64_t llMs) {
    oCond.wait_for(oLock, std::chrono::milliseconds(std::max<int64_t>(1, llMs)));
}

}  // namespace

CDeliveryEngine::CDeliveryEngine(const SConfig& oConfig, const CLiveSecrets& oSecrets,
                                 IStore& oStore, CMetrics& oMetrics, CEventBus& oEvents,
                                 const std::string& sOwner)
    : m_oConfig(oConfig),
      m_oSecrets(oSecrets),
      m_oStore(oStore),
      m_oMetrics(oMetrics),
      m_oEvents(oEvents),
      m_sOwner(sOwner),
      m_oPolicy(PolicyOf(oConfig)) {}

CDeliveryEngine::~CDeliveryEngine() {
    Stop(0);
}

int64_t CDeliveryEngine::SyncLeaseUntilMs(int64_t llNowMs) const {
    return llNowMs + m_oConfig.m_oDelivery.m_llSyncTimeoutMs + kLeaseMs;
}

bool CDeliveryEngine::Start(std::string& sErrMsg) {
    if (!CheckDeliveryConfig(m_oConfig, sErrMsg)) {
        return false;
    }
    const int64_t llNowMs = m_oClock.NowMs();
    uint32_t dwTakenBack = 0;
    uint32_t dwExpired = 0;
    std::string sStoreErr;
    if (!m_oStore.RequeueAtStart(llNowMs, dwTakenBack, sStoreErr) ||
        !m_oStore.RequeueExpired(llNowMs, kExpiryMarginMs, dwExpired, sStoreErr)) {
        sErrMsg = "delivery: " + sStoreErr;
        return false;
    }
    if (dwTakenBack + dwExpired > 0) {
        LogDelivery(LL_INFO, std::to_string(dwTakenBack + dwExpired) +
                                 " message(s) left delivering are back in the queue");
    }
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    if (m_bRunning) {
        return true;
    }
    m_bRunning = true;
    m_bClaiming = true;
    m_bStopping = false;
    m_bAbort = false;
    {
        std::lock_guard<std::mutex> oRecordGuard(m_oRecordMutex);
        m_bRecorderRunning = true;
        m_bRecorderStopping = false;
    }
    m_thRecorder = std::thread(&CDeliveryEngine::RecordLoop, this);
    MakeLanes();
    for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
        for (uint32_t w = 0; w < kWorkersPerLane; ++w) {
            pLane->m_vecWorkers.emplace_back(&CDeliveryEngine::WorkerLoop, this, std::ref(*pLane));
            ++m_dwWorkersRunning;
        }
    }
    m_thDispatch = std::thread(&CDeliveryEngine::DispatchLoop, this);
    return true;
}

void CDeliveryEngine::MakeLanes() {
    std::vector<std::string> vecDestinations;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        m_aLaneOf[i] = nullptr;
        if (!HasDestination(m_oConfig, eChannel)) {
            continue;
        }
        const std::string sDestination = DestinationOf(m_oConfig, eChannel);
        const size_t nLane =
            std::find(vecDestinations.begin(), vecDestinations.end(), sDestination) -
            vecDestinations.begin();
        if (nLane == vecDestinations.size()) {
            vecDestinations.push_back(sDestination);
            m_vecLanes.emplace_back(new SLane);
        }
        m_vecLanes[nLane]->m_vecChannels.push_back(eChannel);
        m_aLaneOf[i] = m_vecLanes[nLane].get();
    }
}

void CDeliveryEngine::Wake() {
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
            pLane->m_bWoken = true;
        }
    }
    m_oDispatchCond.notify_one();
}

void CDeliveryEngine::StopClaiming() {
    std::vector<int64_t> vecIds;
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        if (!m_bRunning || !m_bClaiming) {
            return;
        }
        m_bClaiming = false;
        for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
            for (const SJob& oJob : pLane->m_deqClaimed) {
                vecIds.push_back(oJob.m_oMessage.m_llId);
                m_setHeld.erase(oJob.m_oMessage.m_llId);
            }
            pLane->m_deqClaimed.clear();
        }
    }
    m_oDispatchCond.notify_one();
    HandBack(vecIds);
}

void CDeliveryEngine::Stop(int64_t llGraceMs) {
    const int64_t llDeadlineMs = MonotonicNowMs() + std::max<int64_t>(0, llGraceMs);
    StopClaiming();
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        if (!m_bRunning || m_bStopping) {
            return;
        }
        m_bStopping = true;
        for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
            pLane->m_oCond.notify_all();
        }
    }
    m_oDispatchCond.notify_one();
    m_thDispatch.join();
    {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        m_oStopCond.wait_for(
            oLock, std::chrono::milliseconds(std::max<int64_t>(0, llDeadlineMs - MonotonicNowMs())),
            [this] { return m_dwWorkersRunning == 0; });
    }
    m_bAbort = true;  // attempts still running end now, as retries
    for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
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
    m_vecLanes.clear();
    m_aLaneOf.fill(nullptr);
    m_setHeld.clear();
    m_bRunning = false;
}

void CDeliveryEngine::HandBack(const std::vector<int64_t>& vecIds) {
    if (vecIds.empty()) {
        return;
    }
    std::string sErrMsg;
    if (!m_oStore.ReleaseClaims(vecIds, m_oClock.NowMs(), m_sOwner, sErrMsg)) {
        // Their leases run out and put them back in the queue instead.
        LogDelivery(LL_ERROR, sErrMsg);
        return;
    }
    for (int64_t llId : vecIds) {
        m_oEvents.Publish(CEventBus::EK_STATUS, llId, MS_QUEUED);
    }
}

void CDeliveryEngine::DeliverNow(const SMessage& oMessage, DONE_FN fnDone) {
    SJob oJob;
    oJob.m_oMessage = oMessage;
    oJob.m_llDeadlineMs = MonotonicNowMs() + m_oConfig.m_oDelivery.m_llSyncTimeoutMs;
    oJob.m_fnDone = std::move(fnDone);
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        SLane* pLane = m_aLaneOf[oMessage.m_eChannel];
        if (m_bRunning && !m_bStopping && pLane != nullptr) {
            m_setHeld.insert(oMessage.m_llId);
            pLane->m_deqSync.push_back(std::move(oJob));
            pLane->m_oCond.notify_one();
            return;
        }
    }
    RunSync(nullptr, oJob);
}

void CDeliveryEngine::DispatchLoop() {
    int64_t llNextLeasesMs = MonotonicNowMs();  // at once: fails what has no destination
    std::unique_lock<std::mutex> oLock(m_oMutex);
    while (!m_bStopping) {
        const int64_t llNowMs = MonotonicNowMs();
        if (llNowMs >= llNextLeasesMs) {
            KeepLeases(oLock);
            llNextLeasesMs = MonotonicNowMs() + kRenewEveryMs;
            continue;
        }
        // A lane claims when it has room and was woken or its poll is due; a worker taking
        // a message, a Wake() or a retry scheduled sooner wakes this thread.
        bool bClaimed = false;
        int64_t llUntilMs = llNextLeasesMs;
        for (size_t i = 0; m_bClaiming && !m_bStopping && i < m_vecLanes.size(); ++i) {
            SLane& oLane = *m_vecLanes[i];
            if (ClaimRoom(oLane) == 0) {
                continue;
            }
            if (oLane.m_bWoken || llNowMs >= oLane.m_llNextPollMs) {
                ClaimFor(oLane, oLock);
                bClaimed = true;
            } else {
                llUntilMs = std::min(llUntilMs, oLane.m_llNextPollMs);
            }
        }
        if (!bClaimed) {
            WaitFor(m_oDispatchCond, oLock, llUntilMs - llNowMs);
        }
    }
}

uint32_t CDeliveryEngine::ClaimRoom(const SLane& oLane) {
    // Claim in batches (a claim is a store transaction), once half the waiting room is
    // free, and never more than the lane holds: a stalled destination holds only those.
    const uint32_t dwWaiting = static_cast<uint32_t>(oLane.m_deqClaimed.size());
    const uint32_t dwHeld = dwWaiting + oLane.m_dwBusy;
    const uint32_t dwLimit = kWorkersPerLane + kMaxWaitingPerLane;
    return dwWaiting <= kMaxWaitingPerLane / 2 && dwHeld < dwLimit ? dwLimit - dwHeld : 0;
}

void CDeliveryEngine::ClaimFor(SLane& oLane, std::unique_lock<std::mutex>& oLock) {
    const uint32_t dwRoom = ClaimRoom(oLane);
    const std::vector<relay_proto::CHANNEL> vecChannels = oLane.m_vecChannels;
    oLane.m_bWoken = false;
    oLock.unlock();
    std::vector<SMessage> vecClaimed;
    std::string sErrMsg;
    const bool bOk = m_oStore.ClaimDue(m_oClock.NowMs(), kLeaseMs, vecChannels, dwRoom, m_sOwner,
                                       vecClaimed, sErrMsg);
    NoteStoreResult(bOk, sErrMsg);
    for (const SMessage& oMessage : vecClaimed) {
        m_oEvents.Publish(CEventBus::EK_STATUS, oMessage.m_llId, MS_DELIVERING);
    }
    oLock.lock();
    const int64_t llNowMs = MonotonicNowMs();
    // A full claim suggests more is due; otherwise look again at the next poll.
    oLane.m_bWoken = oLane.m_bWoken || (bOk && vecClaimed.size() == dwRoom);
    if (oLane.m_llNextRetryMs <= llNowMs) {
        oLane.m_llNextRetryMs = INT64_MAX;  // this claim took the retries due by now
    }
    oLane.m_llNextPollMs = std::min(llNowMs + kPollMs, oLane.m_llNextRetryMs);
    if (!m_bClaiming) {
        // Claiming stopped meanwhile: these go straight back.
        std::vector<int64_t> vecIds;
        vecIds.reserve(vecClaimed.size());
        for (const SMessage& oMessage : vecClaimed) {
            vecIds.push_back(oMessage.m_llId);
        }
        oLock.unlock();
        HandBack(vecIds);
        oLock.lock();
        return;
    }
    for (SMessage& oMessage : vecClaimed) {
        m_setHeld.insert(oMessage.m_llId);
        SJob oJob;
        oJob.m_oMessage = std::move(oMessage);
        oLane.m_deqClaimed.push_back(std::move(oJob));
        oLane.m_oCond.notify_one();
    }
}

void CDeliveryEngine::KeepLeases(std::unique_lock<std::mutex>& oLock) {
    const std::vector<int64_t> vecHeld(m_setHeld.begin(), m_setHeld.end());
    const bool bClaiming = m_bClaiming;
    oLock.unlock();
    // Renewed first, with the same clock reading: a clock stepped forward meanwhile cannot
    // make one of this relay's own messages look abandoned.
    const int64_t llNowMs = m_oClock.NowMs();
    std::string sErrMsg;
    bool bOk =
        vecHeld.empty() || m_oStore.RenewLeases(vecHeld, llNowMs, kLeaseMs, m_sOwner, sErrMsg);
    uint32_t dwRequeued = 0;
    bOk = bOk && m_oStore.RequeueExpired(llNowMs, kExpiryMarginMs, dwRequeued, sErrMsg);
    NoteStoreResult(bOk, sErrMsg);
    if (bOk && bClaiming) {
        FailUndeliverable(llNowMs);
    }
    oLock.lock();
    if (dwRequeued > 0) {
        for (std::unique_ptr<SLane>& pLane : m_vecLanes) {
            pLane->m_bWoken = true;
        }
    }
}

void CDeliveryEngine::FailUndeliverable(int64_t llNowMs) {
    std::vector<relay_proto::CHANNEL> vecChannels;
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        if (!HasDestination(m_oConfig, eChannel)) {
            vecChannels.push_back(eChannel);
        }
    }
    std::vector<SMessage> vecClaimed;
    std::string sErrMsg;
    const bool bOk = m_oStore.ClaimDue(llNowMs, kLeaseMs, vecChannels, kMaxUndeliverablePerPass,
                                       m_sOwner, vecClaimed, sErrMsg);
    NoteStoreResult(bOk, sErrMsg);
    // Queued while the channel had a destination that the configuration no longer has.
    for (const SMessage& oMessage : vecClaimed) {
        FailUnsent(oMessage, std::string("not attempted: no destination is configured for ") +
                                 relay_proto::ChannelName(oMessage.m_eChannel));
    }
}

void CDeliveryEngine::NoteStoreResult(bool bOk, const std::string& sErrMsg) {
    // Only the dispatcher thread calls this: the polls repeat, the log line does not.
    if (bOk && !m_sLastStoreError.empty()) {
        LogDelivery(LL_INFO, "the store answers again");
    } else if (!bOk && sErrMsg != m_sLastStoreError) {
        LogDelivery(LL_ERROR, sErrMsg);
    }
    m_sLastStoreError = bOk ? std::string() : sErrMsg;
}

void CDeliveryEngine::WorkerLoop(SLane& oLane) {
    // One sender per channel of the lane, made when first needed and again when the
    // secrets it holds were reloaded since.
    std::array<std::unique_ptr<ISender>, relay_proto::CHANNEL_COUNT> aSenders;
    std::array<uint64_t, relay_proto::CHANNEL_COUNT> aGenerations{};
    auto fnSender = [&](relay_proto::CHANNEL eChannel) -> ISender& {
        const uint64_t ddwGeneration = m_oSecrets.Generation();
        if (!aSenders[eChannel] || aGenerations[eChannel] != ddwGeneration) {
            SConfig oConfig = m_oConfig;
            ApplySecrets(m_oSecrets.Get(), oConfig);
            aSenders[eChannel] = MakeSender(oConfig, eChannel, &m_bAbort);
            aGenerations[eChannel] = ddwGeneration;
        }
        return *aSenders[eChannel];
    };
    std::mt19937_64 oRandom{std::random_device{}()};
    std::unique_lock<std::mutex> oLock(m_oMutex);
    for (;;) {
        oLane.m_oCond.wait(oLock, [&] {
            return m_bStopping || !oLane.m_deqSync.empty() || !oLane.m_deqClaimed.empty();
        });
        if (!oLane.m_deqSync.empty()) {
            SJob oJob = std::move(oLane.m_deqSync.front());
            oLane.m_deqSync.pop_front();
            const bool bStopping = m_bStopping;
            oLock.unlock();
            RunSync(bStopping ? nullptr : &fnSender(oJob.m_oMessage.m_eChannel), oJob);
            oLock.lock();
            continue;
        }
        if (oLane.m_deqClaimed.empty()) {
            break;  // stopping; claims not started were handed back
        }
        SJob oJob = std::move(oLane.m_deqClaimed.front());
        oLane.m_deqClaimed.pop_front();
        ++oLane.m_dwBusy;
        oLock.unlock();
        RunClaimed(fnSender(oJob.m_oMessage.m_eChannel), oLane, oJob, oRandom);
        oLock.lock();
        --oLane.m_dwBusy;
        if (ClaimRoom(oLane) > 0) {
            m_oDispatchCond.notify_one();  // room for another claim
        }
    }
    --m_dwWorkersRunning;
    m_oStopCond.notify_all();
}

void CDeliveryEngine::RunClaimed(ISender& oSender, SLane& oLane, const SJob& oJob,
                                 std::mt19937_64& oRandom) {
    // Every claimed message is attempted, however long it waited to be claimed: max_age
    // ends only the retries of a message that could be attempted.
    const SMessage& oMessage = oJob.m_oMessage;
    const int64_t llStartMs = WallNowMs();
    const SAttemptResult oResult =
        oSender.Send(oMessage, m_oConfig.m_oDelivery.m_llAttemptTimeoutMs);
    const SNextStep oStep =
        PlanNextStep(m_oPolicy, oMessage.m_llReceivedAtMs, oMessage.m_dwAttempts + 1, oResult,
                     m_oClock.NowMs(), oRandom());
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
        NoteRetry(oLane, oStep.m_llNextAttemptMs);
    }
}

void CDeliveryEngine::NoteRetry(SLane& oLane, int64_t llNextAttemptMs) {
    const int64_t llDueMs =
        MonotonicNowMs() + std::max<int64_t>(0, llNextAttemptMs - m_oClock.NowMs());
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    oLane.m_llNextRetryMs = std::min(oLane.m_llNextRetryMs, llDueMs);
    if (llDueMs < oLane.m_llNextPollMs) {
        oLane.m_llNextPollMs = llDueMs;
        m_oDispatchCond.notify_one();
    }
}

void CDeliveryEngine::RunSync(ISender* pSender, SJob& oJob) {
    const SMessage& oMessage = oJob.m_oMessage;
    const int64_t llStartMs = WallNowMs();
    const int64_t llLeftMs = oJob.m_llDeadlineMs - MonotonicNowMs();
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
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        m_setHeld.erase(oMessage.m_llId);
    }
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
            // A gathering recorder wakes for a full batch only, not for each record.
            if (!m_bRecorderGathering || m_deqToRecord.size() >= kRecordGatherCount) {
                m_oRecordCond.notify_one();
            }
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
    size_t nLastBatch = 0;
    for (;;) {
        m_oRecordCond.wait(oLock, [this] { return !m_deqToRecord.empty() || m_bRecorderStopping; });
        if (m_deqToRecord.empty()) {
            break;
        }
        // Busy (the last commit held more than one record): let a few more gather, so
        // that one flush to disk serves them all. Idle, a record is written at once.
        if (nLastBatch > 1 && !m_bRecorderStopping) {
            m_bRecorderGathering = true;
            m_oRecordCond.wait_for(oLock, std::chrono::microseconds(kRecordGatherUs), [this] {
                return m_deqToRecord.size() >= kRecordGatherCount || m_bRecorderStopping;
            });
            m_bRecorderGathering = false;
        }
        std::vector<SRecordSlot*> vecSlots;
        while (!m_deqToRecord.empty() && vecSlots.size() < kMaxRecordBatch) {
            vecSlots.push_back(m_deqToRecord.front());
            m_deqToRecord.pop_front();
        }
        nLastBatch = vecSlots.size();
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
        LogDelivery(LL_ERROR, "message " + std::to_string(oRecord.m_llId) +
                                  ": attempt not recorded: " + sErrMsg);
    }
}

}  // namespace relayd
