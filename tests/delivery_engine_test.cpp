// The delivery engine over a real SQLite store, delivering to the real test peers
// (tests/peers/): one test per kind of fate a message can meet.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "peer_process.h"
#include "relayd/config/live_secrets.h"
#include "relayd/delivery/delivery_engine.h"
#include "relayd/record/events.h"
#include "relayd/record/metrics.h"
#include "relayd/store/store.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using relayd::SMessage;
using test_support::CPeerProcess;
typedef std::chrono::steady_clock CLOCK;

const int kWaitMs = 15000;  // the longest any test waits for an outcome
const int64_t kStopGraceMs = 3000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

long MsSince(CLOCK::time_point tStart) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(CLOCK::now() - tStart).count());
}

class DeliveryEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_oSmtp.Start());
        ASSERT_TRUE(m_oHttp.Start({"--secret", "hook-secret"}));
        std::string sErrMsg;
        m_pStore = relayd::OpenStore(m_oDir.Path() + "/relay.db", sErrMsg);
        ASSERT_TRUE(m_pStore) << sErrMsg;
        m_oConfig.m_oMail.m_sSmtp = m_oSmtp.Url();
        m_oConfig.m_oMail.m_sDomain = "example.com";
        for (relay_proto::CHANNEL eChannel : {relay_proto::CH_SMS, relay_proto::CH_LUMO}) {
            m_oConfig.m_aWebhooks[eChannel].m_sUrl = m_oHttp.Url();
            m_oConfig.m_aWebhooks[eChannel].m_sSecret = "hook-secret";
        }
        m_oConfig.m_oDelivery.m_llRetryInitialMs = 100;
        m_oConfig.m_oDelivery.m_llRetryMaxMs = 400;
        m_oConfig.m_oDelivery.m_llAttemptTimeoutMs = 3000;
        m_oConfig.m_oDelivery.m_llSyncTimeoutMs = 1000;
    }

    void TearDown() override {
        if (m_pEngine) {
            m_pEngine->Stop(kStopGraceMs);
        }
    }

    void StartEngine() {
        m_pSecrets.reset(new relayd::CLiveSecrets(m_oConfig));
        m_pEngine.reset(new relayd::CDeliveryEngine(m_oConfig, *m_pSecrets, *m_pStore, m_oMetrics,
                                                    m_oEvents, "test-relay"));
        std::string sErrMsg;
        ASSERT_TRUE(m_pEngine->Start(sErrMsg)) << sErrMsg;
    }

    // Stores a message as intake does and returns its id.
    int64_t Store(relay_proto::CHANNEL eChannel, relayd::STATUS eStatus = relayd::MS_QUEUED) {
        SMessage oMessage;
        oMessage.m_eChannel = eChannel;
        oMessage.m_eStatus = eStatus;
        oMessage.m_llReceivedAtMs = NowMs();
        oMessage.m_llNextAttemptMs = oMessage.m_llReceivedAtMs;
        if (eStatus == relayd::MS_DELIVERING) {
            oMessage.m_llLeaseUntilMs = m_pEngine->SyncLeaseUntilMs(oMessage.m_llReceivedAtMs);
        }
        oMessage.m_sPeer = "127.0.0.1:40000";
        oMessage.m_sSender = "tester";
        oMessage.m_vecReceivers = {"alice"};
        oMessage.m_sTitle = "标题 " + std::to_string(++m_nStored);
        oMessage.m_sContent = "content";
        oMessage.m_sPackageHash = std::string(24, 'h') + std::to_string(10000000 + m_nStored);
        std::vector<SMessage> vecBatch{oMessage};
        std::vector<relayd::SInsertOutcome> vecOutcomes;
        std::string sErrMsg;
        EXPECT_TRUE(m_pStore->InsertBatch(vecBatch, 0, vecOutcomes, sErrMsg)) << sErrMsg;
        return vecBatch[0].m_llId;
    }

    SMessage Load(int64_t llId) {
        SMessage oMessage;
        bool bFound = false;
        std::string sErrMsg;
        EXPECT_TRUE(m_pStore->GetMessage(llId, false, oMessage, bFound, sErrMsg)) << sErrMsg;
        EXPECT_TRUE(bFound);
        return oMessage;
    }

    // The message once it is delivered or failed (as it is when the time runs out).
    SMessage WaitFinal(int64_t llId, int iTimeoutMs = kWaitMs) {
        const auto tStart = CLOCK::now();
        for (;;) {
            SMessage oMessage = Load(llId);
            if (oMessage.m_eStatus == relayd::MS_DELIVERED ||
                oMessage.m_eStatus == relayd::MS_FAILED || MsSince(tStart) > iTimeoutMs) {
                return oMessage;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    static std::vector<std::string> Outcomes(const SMessage& oMessage) {
        std::vector<std::string> vecOutcomes;
        for (const relayd::SDelivery& oDelivery : oMessage.m_vecDeliveries) {
            vecOutcomes.push_back(relayd::OutcomeName(oDelivery.m_eOutcome));
        }
        return vecOutcomes;
    }

    CPeerProcess& PeerOf(relay_proto::CHANNEL eChannel) {
        return eChannel == relay_proto::CH_MAIL ? m_oSmtp : m_oHttp;
    }

    test_support::CTempDir m_oDir;
    CPeerProcess m_oSmtp{CPeerProcess::PK_SMTP};
    CPeerProcess m_oHttp{CPeerProcess::PK_HTTP};
    relayd::SConfig m_oConfig;
    std::unique_ptr<relayd::IStore> m_pStore;
    relayd::CMetrics m_oMetrics;
    relayd::CEventBus m_oEvents;
    std::unique_ptr<relayd::CLiveSecrets> m_pSecrets;
    std::unique_ptr<relayd::CDeliveryEngine> m_pEngine;
    int m_nStored = 0;
};

// Queued messages of each channel reach their peer; the record, the counters and the
// status events say so.
TEST_F(DeliveryEngineTest, DeliversEachChannel) {
    StartEngine();
    const int64_t llMail = Store(relay_proto::CH_MAIL);
    const int64_t llSms = Store(relay_proto::CH_SMS);
    const int64_t llLumo = Store(relay_proto::CH_LUMO);
    m_pEngine->Wake();
    for (int64_t llId : {llMail, llSms, llLumo}) {
        const SMessage oMessage = WaitFinal(llId);
        EXPECT_EQ(oMessage.m_eStatus, relayd::MS_DELIVERED) << "message " << llId;
        ASSERT_EQ(Outcomes(oMessage), std::vector<std::string>{"delivered"}) << "message " << llId;
        EXPECT_EQ(oMessage.m_dwAttempts, 1u);
    }
    EXPECT_EQ(Load(llMail).m_vecDeliveries[0].m_sDetail.rfind("250 2.0.0 Ok", 0), 0u);
    EXPECT_EQ(Load(llSms).m_vecDeliveries[0].m_sDetail, "HTTP 200 OK: {\"ok\": true}");
    const json oMail = m_oSmtp.NextEvent();
    EXPECT_EQ(oMail.value("x_fanout_id", ""), std::to_string(llMail));
    for (int i = 0; i < 2; ++i) {
        const json oRequest = m_oHttp.NextEvent();
        EXPECT_EQ(oRequest.value("signature_ok", false), true) << oRequest.dump();
    }
    const std::string sMetrics = m_oMetrics.Render({0, 0, 0, 0});
    for (const char* szChannel : {"mail", "sms", "lumo"}) {
        const std::string sLine = std::string("fanout_relay_deliveries_total{channel=\"") +
                                  szChannel + "\",outcome=\"delivered\"} 1\n";
        EXPECT_NE(sMetrics.find(sLine), std::string::npos) << sLine;
    }
    // Each message went delivering, then delivered.
    // The last status events may follow the records by a moment: collect all six.
    std::vector<relayd::CEventBus::SEvent> vecEvents;
    for (int iRound = 0; iRound < 50 && vecEvents.size() < 6; ++iRound) {
        std::vector<relayd::CEventBus::SEvent> vecMore;
        m_oEvents.WaitAfter(vecEvents.empty() ? 0 : vecEvents.back().m_ddwSeq, 100, vecMore);
        vecEvents.insert(vecEvents.end(), vecMore.begin(), vecMore.end());
    }
    int nDelivering = 0;
    int nDelivered = 0;
    for (const auto& oEvent : vecEvents) {
        EXPECT_EQ(oEvent.m_eKind, relayd::CEventBus::EK_STATUS);
        nDelivering += oEvent.m_eStatus == relayd::MS_DELIVERING;
        nDelivered += oEvent.m_eStatus == relayd::MS_DELIVERED;
    }
    EXPECT_EQ(nDelivering, 3);
    EXPECT_EQ(nDelivered, 3);
}

// A refusal that may pass is retried after a back-off (or the peer's Retry-After) and
// then delivered; a final refusal fails the message with no further attempt.
TEST_F(DeliveryEngineTest, RetriesAndFailures) {
    const struct {
        relay_proto::CHANNEL eChannel;
        const char* szScript;
        std::vector<std::string> vecOutcomes;
        relayd::STATUS eStatus;
        long lMinGapMs;  // between the first two attempts
    } aRows[] = {
        {relay_proto::CH_MAIL, "reply 451", {"retry", "delivered"}, relayd::MS_DELIVERED, 100},
        {relay_proto::CH_SMS, "reply 503", {"retry", "delivered"}, relayd::MS_DELIVERED, 100},
        {relay_proto::CH_SMS,
         "reply 429 1 retry-after=2",
         {"retry", "delivered"},
         relayd::MS_DELIVERED,
         1900},
        {relay_proto::CH_MAIL, "reply 550", {"failed"}, relayd::MS_FAILED, 0},
        {relay_proto::CH_LUMO, "reply 400", {"failed"}, relayd::MS_FAILED, 0},
    };
    StartEngine();
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ": " + aRows[i].szScript);
        CPeerProcess& oPeer = PeerOf(aRows[i].eChannel);
        ASSERT_TRUE(oPeer.Command(aRows[i].szScript));
        const int64_t llId = Store(aRows[i].eChannel);
        m_pEngine->Wake();
        const SMessage oMessage = WaitFinal(llId);
        EXPECT_EQ(oMessage.m_eStatus, aRows[i].eStatus);
        EXPECT_EQ(Outcomes(oMessage), aRows[i].vecOutcomes);
        if (oMessage.m_vecDeliveries.size() >= 2) {
            EXPECT_GE(oMessage.m_vecDeliveries[1].m_llAtMs - oMessage.m_vecDeliveries[0].m_llAtMs,
                      aRows[i].lMinGapMs);
        }
        // Nothing more reaches the peer after the final outcome.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        for (size_t n = 0; n < aRows[i].vecOutcomes.size(); ++n) {
            EXPECT_TRUE(oPeer.NextEvent().is_object()) << "attempt " << n;
        }
        EXPECT_TRUE(oPeer.NextEvent(0).is_null());
        EXPECT_EQ(Load(llId).m_vecDeliveries.size(), aRows[i].vecOutcomes.size());
    }
}

// With the peer down, messages wait and are retried; once it is back every one arrives.
TEST_F(DeliveryEngineTest, PeerDownThenUp) {
    const uint16_t wPort = m_oSmtp.Port();
    m_oSmtp.Kill();
    StartEngine();
    std::vector<int64_t> vecIds;
    for (int i = 0; i < 5; ++i) {
        vecIds.push_back(Store(relay_proto::CH_MAIL));
    }
    m_pEngine->Wake();
    const auto tStart = CLOCK::now();
    while (Load(vecIds.back()).m_dwAttempts < 2 && MsSince(tStart) < kWaitMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(Load(vecIds.back()).m_eStatus, relayd::MS_QUEUED);
    ASSERT_TRUE(m_oSmtp.Start({"--port", std::to_string(wPort)}));
    std::set<std::string> setArrived;
    for (int64_t llId : vecIds) {
        const SMessage oMessage = WaitFinal(llId);
        EXPECT_EQ(oMessage.m_eStatus, relayd::MS_DELIVERED) << "message " << llId;
        EXPECT_EQ(Outcomes(oMessage).back(), "delivered");
        EXPECT_NE(oMessage.m_vecDeliveries[0].m_sDetail.find("onnect"), std::string::npos)
            << oMessage.m_vecDeliveries[0].m_sDetail;
        setArrived.insert(m_oSmtp.NextEvent().value("x_fanout_id", ""));
    }
    EXPECT_EQ(setArrived.size(), vecIds.size());
}

// Past max_age a message stops being retried and fails, its last attempt saying why.
TEST_F(DeliveryEngineTest, MaxAgeEndsRetries) {
    m_oConfig.m_oDelivery.m_llMaxAgeMs = 1500;
    ASSERT_TRUE(m_oHttp.Command("reply 500 1000"));
    StartEngine();
    const int64_t llId = Store(relay_proto::CH_SMS);
    m_pEngine->Wake();
    const SMessage oMessage = WaitFinal(llId);
    EXPECT_EQ(oMessage.m_eStatus, relayd::MS_FAILED);
    ASSERT_GE(oMessage.m_vecDeliveries.size(), 3u);
    EXPECT_EQ(Outcomes(oMessage).back(), "failed");
    EXPECT_NE(oMessage.m_vecDeliveries.back().m_sDetail.find("max_age"), std::string::npos);
    EXPECT_GE(oMessage.m_vecDeliveries.back().m_llAtMs - oMessage.m_llReceivedAtMs, 1400);
}

// On SQLite (one relay per file) every message left delivering goes back to the queue at
// start, whatever its lease says, and is delivered; a captured one is never claimed.
TEST_F(DeliveryEngineTest, TakesBackClaimsAtStart) {
    const int64_t llExpired = Store(relay_proto::CH_MAIL);
    const int64_t llLeased = Store(relay_proto::CH_MAIL);
    const int64_t llCaptured = Store(relay_proto::CH_MAIL, relayd::MS_CAPTURED);
    std::vector<SMessage> vecClaimed;
    std::string sErrMsg;
    const int64_t llNow = NowMs();
    ASSERT_TRUE(m_pStore->ClaimDue(llNow, -1, {relay_proto::CH_MAIL}, 1, "crashed-relay",
                                   vecClaimed, sErrMsg));
    ASSERT_TRUE(m_pStore->ClaimDue(llNow, 600000, {relay_proto::CH_MAIL}, 1, "crashed-relay",
                                   vecClaimed, sErrMsg));
    StartEngine();
    EXPECT_EQ(WaitFinal(llExpired).m_eStatus, relayd::MS_DELIVERED);
    EXPECT_EQ(WaitFinal(llLeased).m_eStatus, relayd::MS_DELIVERED);
    EXPECT_EQ(Load(llCaptured).m_eStatus, relayd::MS_CAPTURED);
    EXPECT_EQ(Load(llCaptured).m_dwAttempts, 0u);
    std::set<std::string> setSeen;
    for (int i = 0; i < 2; ++i) {
        setSeen.insert(m_oSmtp.NextEvent().value("x_fanout_id", ""));
    }
    EXPECT_EQ(setSeen,
              (std::set<std::string>{std::to_string(llExpired), std::to_string(llLeased)}));
    EXPECT_TRUE(m_oSmtp.NextEvent(300).is_null());
}

// Synchronous mode: the first attempt decides at once, within sync_timeout; anything
// but delivered fails the message for good.
TEST_F(DeliveryEngineTest, DeliverNow) {
    const struct {
        relay_proto::CHANNEL eChannel;
        const char* szScript;  // "kill": no peer at all
        bool bDelivered;
    } aRows[] = {
        {relay_proto::CH_MAIL, "", true},           {relay_proto::CH_SMS, "", true},
        {relay_proto::CH_MAIL, "reply 550", false}, {relay_proto::CH_MAIL, "reply 451", false},
        {relay_proto::CH_SMS, "reply 503", false},  {relay_proto::CH_MAIL, "stall 4", false},
        {relay_proto::CH_SMS, "stall 4", false},    {relay_proto::CH_SMS, "kill", false},
    };
    StartEngine();
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ": " + aRows[i].szScript);
        CPeerProcess& oPeer = PeerOf(aRows[i].eChannel);
        const std::string sScript = aRows[i].szScript;
        if (sScript == "kill") {
            oPeer.Kill();
        } else if (!sScript.empty()) {
            ASSERT_TRUE(oPeer.Command(sScript));
        }
        const int64_t llId = Store(aRows[i].eChannel, relayd::MS_DELIVERING);
        // Another relay sharing the store leaves a message held for its attempt alone.
        uint32_t dwRequeued = 0;
        std::string sErrMsg;
        ASSERT_TRUE(m_pStore->RequeueExpired(NowMs(), 0, dwRequeued, sErrMsg)) << sErrMsg;
        EXPECT_EQ(dwRequeued, 0u);

        std::promise<bool> oDone;
        std::future<bool> oAnswer = oDone.get_future();
        const auto tStart = CLOCK::now();
        m_pEngine->DeliverNow(Load(llId),
                              [&oDone](bool bDelivered) { oDone.set_value(bDelivered); });
        ASSERT_EQ(oAnswer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        // sync_timeout is 1000 ms; the stalls last 4 s. Room is left for a busy machine.
        EXPECT_LE(MsSince(tStart), 3000);
        EXPECT_EQ(oAnswer.get(), aRows[i].bDelivered);
        const SMessage oMessage = Load(llId);
        EXPECT_EQ(oMessage.m_eStatus,
                  aRows[i].bDelivered ? relayd::MS_DELIVERED : relayd::MS_FAILED);
        EXPECT_EQ(Outcomes(oMessage),
                  std::vector<std::string>{aRows[i].bDelivered ? "delivered" : "failed"});
        if (sScript == "kill") {
            continue;
        }
        // Never retried: the peer sees the one attempt only (a stalled SMTP peer may not
        // see it end at all: the relay closed the connection when its time was up).
        const bool bStalled = sScript.rfind("stall", 0) == 0;
        const bool bSeen = oPeer.NextEvent(bStalled ? 4500 : 6000).is_object();
        EXPECT_TRUE(bSeen || (bStalled && aRows[i].eChannel == relay_proto::CH_MAIL));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        EXPECT_TRUE(oPeer.NextEvent(0).is_null());
        EXPECT_EQ(Load(llId).m_dwAttempts, 1u);
    }
}

// Stop does not wait out a slow peer: the attempt is cut short and recorded as a retry.
TEST_F(DeliveryEngineTest, StopIsBounded) {
    m_oConfig.m_oDelivery.m_llAttemptTimeoutMs = 30000;
    ASSERT_TRUE(m_oHttp.Command("stall 60"));
    StartEngine();
    const int64_t llId = Store(relay_proto::CH_SMS);
    m_pEngine->Wake();
    const auto tWait = CLOCK::now();
    while (Load(llId).m_eStatus != relayd::MS_DELIVERING && MsSince(tWait) < kWaitMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the POST is under way
    const auto tStop = CLOCK::now();
    m_pEngine->Stop(kStopGraceMs);
    EXPECT_LT(MsSince(tStop), kStopGraceMs + 3000);
    const SMessage oMessage = Load(llId);
    EXPECT_EQ(oMessage.m_eStatus, relayd::MS_QUEUED);
    ASSERT_EQ(Outcomes(oMessage), std::vector<std::string>{"retry"});
    EXPECT_NE(oMessage.m_vecDeliveries[0].m_sDetail.find("stopping"), std::string::npos)
        << oMessage.m_vecDeliveries[0].m_sDetail;
}

}  // namespace
