#include "relayd/intake/intake.h"

#include <cstring>
#include <utility>

#include "relay_proto/package.h"
#include "relay_proto/request.h"
#include "relayd/config/network.h"
#include "relayd/intake/batch_keys.h"
#include "relayd/intake/intake_check.h"
#include "relayd/record/clock.h"
#include "relayd/record/log.h"
#include "relayd/record/sha256.h"

namespace relayd {

namespace {

// The timestamp a reply echoes: the request's, when the package holds a whole header.
uint32_t RequestTimestamp(const std::string& sPayload) {
    if (sPayload.size() < sizeof(MSG_PKG_HEAD)) {
        return 0;
    }
    MSG_PKG_HEAD oHead;
    memcpy(&oHead, sPayload.data(), sizeof(oHead));
    return oHead.timestamp();
}

}  // namespace

// A request that passed the checks, waiting for its batch's commit.
struct CIntake::SPending {
    SIntakeVerdict m_oVerdict;
    SMessage m_oMessage;
};

CIntake::CIntake(const SConfig& oConfig, IStore& oStore, const CKeyRing& oKeys, CMetrics& oMetrics,
                 CEventBus& oEvents, ISyncDelivery* pSyncDelivery, VERDICT_FN fnVerdict)
    : m_oConfig(oConfig),
      m_oStore(oStore),
      m_oKeys(oKeys),
      m_oMetrics(oMetrics),
      m_oEvents(oEvents),
      m_pSyncDelivery(pSyncDelivery),
      m_fnVerdict(std::move(fnVerdict)),
      m_oRefusals([](const std::string& sLine) { LogLine(LL_WARNING, sLine); }) {}

CIntake::~CIntake() {
    Stop();
}

void CIntake::Start() {
    m_oWorker = std::thread(&CIntake::Run, this);
}

void CIntake::Submit(SIntakeItem&& oItem) {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_vecQueue.push_back(std::move(oItem));
    }
    m_oCond.notify_one();
}

void CIntake::Stop() {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bStopping = true;
    }
    m_oCond.notify_one();
    if (m_oWorker.joinable()) {
        m_oWorker.join();
    }
}

// Everything that arrived while the previous batch was being committed forms the next
// batch: under load many requests share one commit, idle a request waits for none.
void CIntake::Run() {
    std::vector<SIntakeItem> vecBatch;
    while (true) {
        {
            std::unique_lock<std::mutex> oLock(m_oMutex);
            m_oCond.wait(oLock, [this] { return m_bStopping || !m_vecQueue.empty(); });
            if (m_vecQueue.empty()) {
                return;
            }
            vecBatch.swap(m_vecQueue);
        }
        ProcessBatch(vecBatch);
        vecBatch.clear();
    }
}

void CIntake::ProcessBatch(std::vector<SIntakeItem>& vecBatch) {
    std::vector<SPending> vecAccepted;
    vecAccepted.reserve(vecBatch.size());
    const CBatchKeys oKeys(m_oKeys);
    for (SIntakeItem& oItem : vecBatch) {
        SPending oPending;
        if (Check(oItem, oKeys, oPending)) {
            vecAccepted.push_back(std::move(oPending));
        }
    }
    if (!vecAccepted.empty()) {
        CommitAndAnswer(vecAccepted);
    }
}

// Checks 1 to 4 of intake, in order; the first that fails answers the request.
// True when the request is to be stored.
bool CIntake::Check(SIntakeItem& oItem, const IKeyLookup& oKeys, SPending& oPending) {
    SIntakeVerdict& oVerdict = oPending.m_oVerdict;
    oVerdict.m_ddwConnId = oItem.m_ddwConnId;
    oVerdict.m_eChannel = oItem.m_eChannel;
    oVerdict.m_ddwArrivedMs = oItem.m_ddwArrivedMs;
    oVerdict.m_dwTimestamp = RequestTimestamp(oItem.m_sPayload);

    if (!PeerAllowed(m_oConfig.m_vecAllow, reinterpret_cast<const sockaddr*>(&oItem.m_oPeer))) {
        Refuse(oItem, oPending, RES_UNAUTHORIZED_IP, "address not in allow");
        return false;
    }
    relay_proto::SRequest oReq;
    std::string sErrMsg;
    if (!relay_proto::DecodeRequest(oItem.m_eChannel, oItem.m_sPayload, oReq, sErrMsg)) {
        Refuse(oItem, oPending, RES_BAD_PACKAGE, sErrMsg);
        return false;
    }
    if (oReq.m_cPkgType != PKG_TYPE_REQUEST) {
        Refuse(oItem, oPending, RES_BAD_PACKAGE,
               "package type " + std::to_string(oReq.m_cPkgType) + ", not a request");
        return false;
    }
    SMessage& oMessage = oPending.m_oMessage;
    std::string sWhy;
    PKG_RESULT eResult = RES_OK;
    if (!CheckRequest(std::move(oReq), oKeys, m_oConfig.m_bRequireKey, oMessage, eResult, sWhy,
                      sErrMsg)) {
        // The store failed: the request is closed unanswered, like those of a failed
        // commit; the store's failing spell logs it (one line, not one per request).
        Answer(oPending, false, 0);
        return false;
    }
    if (eResult != RES_OK) {
        Refuse(oItem, oPending, eResult, sWhy);
        return false;
    }
    oMessage.m_sPeer = oItem.m_sPeerText;
    oMessage.m_sPackageHash = Sha256(oItem.m_sPayload);
    // The message holds what is kept: the package's memory goes back now, not after the
    // batch's commit, so a batch of big requests does not hold each twice.
    std::string().swap(oItem.m_sPayload);
    return true;
}

// The promise of a 0: the reply is sent only after the transaction holding the message is
// on disk (InsertBatch returns after the commit). A store that fails answers nobody: the
// connections close, and each client offers its request to its next server.
void CIntake::CommitAndAnswer(std::vector<SPending>& vecAccepted) {
    const int64_t llNowMs = m_oClock.NowMs();
    const bool bSync = m_oConfig.m_oDelivery.m_bSync && m_pSyncDelivery != nullptr;
    std::vector<SMessage> vecMessages;
    vecMessages.reserve(vecAccepted.size());
    for (SPending& oPending : vecAccepted) {
        SMessage& oMessage = oPending.m_oMessage;
        oMessage.m_llReceivedAtMs = llNowMs;
        oMessage.m_llNextAttemptMs = llNowMs;
        if (!HasDestination(m_oConfig, oMessage.m_eChannel)) {
            oMessage.m_eStatus = MS_CAPTURED;
        } else if (bSync) {
            // Held by this relay until its synchronous attempt decides.
            oMessage.m_eStatus = MS_DELIVERING;
            oMessage.m_llLeaseUntilMs = m_pSyncDelivery->SyncLeaseUntilMs(llNowMs);
        } else {
            oMessage.m_eStatus = MS_QUEUED;
        }
        vecMessages.push_back(std::move(oMessage));
    }

    std::vector<SInsertOutcome> vecOutcomes;
    std::string sErrMsg;
    if (!m_oStore.InsertBatch(vecMessages, llNowMs - m_oConfig.m_llDedupeWindowMs, vecOutcomes,
                              sErrMsg)) {
        // The store logs the start and the end of a failing spell, not each batch.
        for (const SPending& oPending : vecAccepted) {
            Answer(oPending, false, 0);
        }
        return;
    }
    for (size_t i = 0; i < vecAccepted.size(); ++i) {
        SPending& oPending = vecAccepted[i];
        SMessage& oMessage = vecMessages[i];
        if (vecOutcomes[i].m_bDuplicate) {
            m_oMetrics.CountDuplicate(oMessage.m_eChannel);
            Answer(oPending, true, RES_OK);
            continue;
        }
        m_oEvents.Publish(CEventBus::EK_MESSAGE, oMessage.m_llId, oMessage.m_eStatus);
        if (oMessage.m_eStatus != MS_DELIVERING) {
            Answer(oPending, true, RES_OK);
            continue;
        }
        const SIntakeVerdict oVerdict = oPending.m_oVerdict;
        m_pSyncDelivery->DeliverNow(oMessage, [this, oVerdict](bool bDelivered) {
            SPending oDone;
            oDone.m_oVerdict = oVerdict;
            Answer(oDone, true, bDelivered ? RES_OK : RES_REMOTE_FAILED);
        });
    }
    if (m_fnOnStored) {
        m_fnOnStored();
    }
}

void CIntake::Answer(const SPending& oPending, bool bReply, uint32_t dwResult) {
    SIntakeVerdict oVerdict = oPending.m_oVerdict;
    oVerdict.m_bReply = bReply;
    oVerdict.m_dwResult = dwResult;
    if (bReply) {
        m_oMetrics.CountRequest(oVerdict.m_eChannel, dwResult);
    }
    m_fnVerdict(oVerdict);
}

void CIntake::Refuse(const SIntakeItem& oItem, const SPending& oPending, uint32_t dwResult,
                     const std::string& sWhy) {
    m_oRefusals.Refused(MonotonicNowMs(), oItem.m_sPeerText, oItem.m_eChannel, dwResult, sWhy);
    Answer(oPending, true, dwResult);
}

}  // namespace relayd
