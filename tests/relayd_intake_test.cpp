// Intake (CIntake) over a store of the test's own: requests that arrive while a batch
// commits share the next commit, a duplicate inside one batch is answered like the
// first, a failing store closes every connection of its batch unanswered, and
// synchronous mode answers with the delivery's outcome.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "relay_proto/package.h"
#include "relayd/config/config_rules.h"
#include "relayd/intake/intake.h"
#include "tests/wire_bytes.h"

namespace {

using relayd::SMessage;

// Stores in memory; recognises a package hash seen before (earlier or in the same batch)
// as a duplicate. While held, a batch waits inside InsertBatch, so what intake receives
// meanwhile forms the next batch.
class CFakeStore : public relayd::IStore {
public:
    bool m_bFail = false;

    void Hold(bool bHold) {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bHeld = bHold;
        m_oCond.notify_all();
    }
    // Waits (bounded) until a batch is inside InsertBatch.
    bool WaitEntered() {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        return m_oCond.wait_for(oLock, std::chrono::seconds(10), [this] { return m_nEntered > 0; });
    }
    std::vector<size_t> BatchSizes() {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        return m_vecBatchSizes;
    }
    std::vector<SMessage> Stored() {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        return m_vecStored;
    }

    bool InsertBatch(std::vector<SMessage>& vecMessages, int64_t,
                     std::vector<relayd::SInsertOutcome>& vecOutcomes,
                     std::string& sErrMsg) override {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        ++m_nEntered;
        m_oCond.notify_all();
        m_oCond.wait_for(oLock, std::chrono::seconds(10), [this] { return !m_bHeld; });
        m_vecBatchSizes.push_back(vecMessages.size());
        if (m_bFail) {
            sErrMsg = "disk I/O error";
            return false;
        }
        vecOutcomes.clear();
        for (SMessage& oMessage : vecMessages) {
            relayd::SInsertOutcome oOutcome;
            const auto it = m_mapIdByHash.find(oMessage.m_sPackageHash);
            oOutcome.m_bDuplicate = it != m_mapIdByHash.end();
            if (oOutcome.m_bDuplicate) {
                oOutcome.m_llId = it->second;
            } else {
                oMessage.m_llId = oOutcome.m_llId = static_cast<int64_t>(m_vecStored.size()) + 1;
                m_mapIdByHash[oMessage.m_sPackageHash] = oMessage.m_llId;
                m_vecStored.push_back(oMessage);
            }
            vecOutcomes.push_back(oOutcome);
        }
        return true;
    }

    // Intake asks nothing else of a store.
    bool ClaimDue(int64_t, int64_t, const std::vector<relay_proto::CHANNEL>&, uint32_t,
                  const std::string&, std::vector<SMessage>&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool RenewLeases(const std::vector<int64_t>&, int64_t, int64_t, const std::string&,
                     std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool ReleaseClaims(const std::vector<int64_t>&, int64_t, const std::string&,
                       std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool RecordAttempts(const std::vector<relayd::SAttemptRecord>&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool RequeueExpired(int64_t, int64_t, uint32_t&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool RequeueAtStart(int64_t, uint32_t&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool Retry(int64_t, int64_t, relayd::CHANGE_RESULT&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool QueueDepths(std::vector<uint64_t>&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool ListMessages(const relayd::SMessageQuery&, relayd::SMessagePage&,
                      std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool GetMessage(int64_t, bool, SMessage&, bool&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool ForEachMessage(const std::function<bool(const SMessage&)>&,
                        std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool DeleteMessage(int64_t, relayd::CHANGE_RESULT&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool MaxMessageId(int64_t&, std::string& sErrMsg) override { return NotUsed(sErrMsg); }
    bool InsertKey(const relayd::SKey&, relayd::CHANGE_RESULT&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool FindKey(const std::string&, relayd::SKey&, bool&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool ListKeys(std::vector<relayd::SKey>&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool RevokeKey(const std::string&, relayd::CHANGE_RESULT&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool DeleteExpired(int64_t, uint32_t, uint32_t&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool Reclaim(std::string& sErrMsg) override { return NotUsed(sErrMsg); }
    bool CountByStatus(std::vector<uint64_t>&, std::string& sErrMsg) override {
        return NotUsed(sErrMsg);
    }
    bool Ping(std::string&) override { return true; }

private:
    static bool NotUsed(std::string& sErrMsg) {
        ADD_FAILURE() << "intake used a store call it has no business with";
        sErrMsg = "not used";
        return false;
    }

    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    bool m_bHeld = false;
    int m_nEntered = 0;
    std::vector<size_t> m_vecBatchSizes;
    std::vector<SMessage> m_vecStored;
    std::map<std::string, int64_t> m_mapIdByHash;
};

// Delivers at once, with the outcome the test chose.
class CFakeSyncDelivery : public relayd::ISyncDelivery {
public:
    explicit CFakeSyncDelivery(bool bDelivered) : m_bDelivered(bDelivered) {}
    int64_t SyncLeaseUntilMs(int64_t llNowMs) const override { return llNowMs + 60000; }
    void DeliverNow(const SMessage& oMessage, DONE_FN fnDone) override {
        EXPECT_EQ(oMessage.m_eStatus, relayd::MS_DELIVERING);
        EXPECT_GT(oMessage.m_llId, 0);
        fnDone(m_bDelivered);
    }

private:
    const bool m_bDelivered;
};

// An sms request as the client sends it, its content telling requests apart.
std::string SmsPackage(const std::string& sContent) {
    using namespace wire_bytes;
    return RequestHeader(1796631889) + Field("") + Field("script") + Field("alice") + Field("") +
           Field(sContent);
}

relayd::SIntakeItem Item(uint64_t ddwConnId, const std::string& sPayload) {
    relayd::SIntakeItem oItem;
    oItem.m_ddwConnId = ddwConnId;
    oItem.m_eChannel = relay_proto::CH_SMS;
    sockaddr_in* pIn = reinterpret_cast<sockaddr_in*>(&oItem.m_oPeer);
    pIn->sin_family = AF_INET;
    pIn->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    oItem.m_sPeerText = "127.0.0.1:40000";
    oItem.m_sPayload = sPayload;
    return oItem;
}

const int kClosed = -1;  // a verdict that closes the connection without a reply

TEST(RelaydIntake, BatchesDuplicatesStoreFailuresAndSynchronousAnswers) {
    struct SRow {
        const char* m_szName;
        bool m_bStoreFails;
        int m_iSync;                          // -1: not synchronous; 0 or 1: the delivery's outcome
        std::vector<std::string> m_vecFirst;  // submitted first
        std::vector<std::string> m_vecDuring;  // submitted while the first batch commits
        std::vector<int> m_vecResults;         // per request, in submission order
        std::vector<size_t> m_vecBatches;      // the sizes of the batches the store saw
        size_t m_nStored;
    } const kRows[] = {
        {"one request", false, -1, {"a"}, {}, {RES_OK}, {1}, 1},
        {"requests arriving during a commit share the next one",
         false,
         -1,
         {"a"},
         {"b", "c", "d"},
         {RES_OK, RES_OK, RES_OK, RES_OK},
         {1, 3},
         4},
        {"a duplicate inside one batch is answered 0 and stored once",
         false,
         -1,
         {"a"},
         {"b", "b"},
         {RES_OK, RES_OK, RES_OK},
         {1, 2},
         2},
        {"a package that cannot be decoded never reaches the store",
         false,
         -1,
         {"\x01"},
         {},
         {RES_BAD_PACKAGE},
         {},
         0},
        {"a failing store closes every connection of its batches",
         true,
         -1,
         {"a"},
         {"b", "c"},
         {kClosed, kClosed, kClosed},
         {1, 2},
         0},
        {"synchronous: answered once delivered", false, 1, {"a"}, {}, {RES_OK}, {1}, 1},
        {"synchronous: a failed delivery answers 3",
         false,
         0,
         {"a"},
         {},
         {RES_REMOTE_FAILED},
         {1},
         1},
    };
    for (const SRow& oRow : kRows) {
        SCOPED_TRACE(oRow.m_szName);
        relayd::SConfig oConfig;
        oConfig.m_oDelivery.m_bSync = oRow.m_iSync >= 0;
        if (oRow.m_iSync >= 0) {
            oConfig.m_aWebhooks[relay_proto::CH_SMS].m_sUrl = "http://127.0.0.1:9/sms";
        }
        std::string sErrMsg;
        ASSERT_TRUE(relayd::FinishConfig(oConfig, sErrMsg)) << sErrMsg;  // the allow list
        CFakeStore oStore;
        oStore.m_bFail = oRow.m_bStoreFails;
        CFakeSyncDelivery oSync(oRow.m_iSync == 1);
        const relayd::CKeyRing oKeys({}, nullptr);
        relayd::CMetrics oMetrics;
        relayd::CEventBus oEvents;
        std::mutex oMutex;
        std::condition_variable oCond;
        std::map<uint64_t, int> mapResults;  // connection -> result, or kClosed
        relayd::CIntake oIntake(oConfig, oStore, oKeys, oMetrics, oEvents, &oSync,
                                [&](const relayd::SIntakeVerdict& oVerdict) {
                                    std::lock_guard<std::mutex> oLock(oMutex);
                                    mapResults[oVerdict.m_ddwConnId] =
                                        oVerdict.m_bReply ? static_cast<int>(oVerdict.m_dwResult)
                                                          : kClosed;
                                    oCond.notify_all();
                                });
        oIntake.Start();

        uint64_t ddwConnId = 0;
        oStore.Hold(!oRow.m_vecDuring.empty());
        for (const std::string& sContent : oRow.m_vecFirst) {
            oIntake.Submit(Item(++ddwConnId, sContent == "\x01" ? sContent : SmsPackage(sContent)));
        }
        if (!oRow.m_vecDuring.empty()) {
            ASSERT_TRUE(oStore.WaitEntered());
            for (const std::string& sContent : oRow.m_vecDuring) {
                oIntake.Submit(Item(++ddwConnId, SmsPackage(sContent)));
            }
            oStore.Hold(false);
        }
        {
            std::unique_lock<std::mutex> oLock(oMutex);
            ASSERT_TRUE(oCond.wait_for(oLock, std::chrono::seconds(10), [&] {
                return mapResults.size() == oRow.m_vecResults.size();
            }));
        }
        oIntake.Stop();

        for (size_t i = 0; i < oRow.m_vecResults.size(); ++i) {
            EXPECT_EQ(mapResults[i + 1], oRow.m_vecResults[i]) << "request " << i;
        }
        EXPECT_EQ(oStore.BatchSizes(), oRow.m_vecBatches);
        EXPECT_EQ(oStore.Stored().size(), oRow.m_nStored);
        // Every stored message is announced once; a duplicate is not.
        std::vector<relayd::CEventBus::SEvent> vecEvents;
        oEvents.WaitAfter(0, 0, vecEvents);
        EXPECT_EQ(vecEvents.size(), oRow.m_nStored);
    }
}

}  // namespace
