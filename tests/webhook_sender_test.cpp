// The webhook sender against a real HTTP receiver (tests/peers/http_peer.py): the JSON
// body, the headers, the signature checked with Python's hmac, and the outcome of each
// status.
#include <gtest/gtest.h>

#include <string>

#include "relayd/delivery/webhook_sender.h"
#include "relayd/record/text_codec.h"
#include "tests/peer_process.h"

namespace {

using nlohmann::json;
using relayd::SMessage;
using test_support::CPeerProcess;

const int64_t kTimeoutMs = 5000;
const char kSecret[] = "s3cret-key";

SMessage MakeMessage(relay_proto::CHANNEL eChannel) {
    SMessage oMessage;
    oMessage.m_llId = 42;
    oMessage.m_eChannel = eChannel;
    oMessage.m_llReceivedAtMs = 1796631889123LL;
    oMessage.m_sKeyId = "key-1";
    oMessage.m_sSender = "ops_bot";
    oMessage.m_vecReceivers = {"alice", "bob"};
    oMessage.m_sTitle = "部署完成";
    oMessage.m_sContent = "line one\nline \"two\"\t\\ 中文";
    return oMessage;
}

relayd::SWebhook Hook(const CPeerProcess& oPeer, const std::string& sSecret) {
    relayd::SWebhook oHook;
    oHook.m_sUrl = oPeer.Url();
    oHook.m_sSecret = sSecret;
    return oHook;
}

class WebhookSenderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_oPeer.Start({"--secret", kSecret})); }

    CPeerProcess m_oPeer{CPeerProcess::PK_HTTP};
};

// Each channel's body carries the record's fields; lumo adds its image.
TEST_F(WebhookSenderTest, BodyHeadersAndSignature) {
    std::string sImage;
    for (int i = 0; i < 3000; ++i) {
        sImage += static_cast<char>(i * 7);
    }
    const struct {
        relay_proto::CHANNEL eChannel;
        std::string sImage;
        std::string sSecret;
        std::string sSender;
        std::string sSenderSeen;
    } aRows[] = {
        {relay_proto::CH_SMS, "", kSecret, "ops_bot", "ops_bot"},
        {relay_proto::CH_ZEPH, "", "", "ops_bot", "ops_bot"},
        {relay_proto::CH_LUMO, sImage, kSecret, "ops_bot", "ops_bot"},
        {relay_proto::CH_LUMO, "", kSecret, "ops_bot", "ops_bot"},
        // Intake does not check the sender's bytes; they must not break the body.
        {relay_proto::CH_SMS, "", kSecret, "bad\xFF\xFE", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const auto& oRow = aRows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + relay_proto::ChannelName(oRow.eChannel));
        SMessage oMessage = MakeMessage(oRow.eChannel);
        oMessage.m_sImage = oRow.sImage;
        oMessage.m_ddwImageSize = oRow.sImage.size();
        oMessage.m_sSender = oRow.sSender;
        relayd::CWebhookSender oSender(Hook(m_oPeer, oRow.sSecret), nullptr);
        const relayd::SAttemptResult oResult = oSender.Send(oMessage, kTimeoutMs);
        EXPECT_EQ(oResult.m_eOutcome, relayd::OC_DELIVERED) << oResult.m_sDetail;
        EXPECT_EQ(oResult.m_sDetail, "HTTP 200 OK: {\"ok\": true}");
        const json oEvent = m_oPeer.NextEvent();
        ASSERT_TRUE(oEvent.is_object());
        EXPECT_EQ(oEvent["method"], "POST");
        EXPECT_EQ(oEvent["path"], "/hook");
        const json& oHeaders = oEvent["headers"];
        EXPECT_EQ(oHeaders.value("content-type", ""), "application/json");
        EXPECT_EQ(oHeaders.value("x-fanout-id", ""), "42");
        EXPECT_FALSE(oHeaders.contains("expect"));
        EXPECT_EQ(oEvent["signature_ok"], !oRow.sSecret.empty());
        EXPECT_EQ(oHeaders.contains("x-fanout-signature"), !oRow.sSecret.empty());
        json oExpected = {{"id", 42},
                          {"channel", relay_proto::ChannelName(oRow.eChannel)},
                          {"key_id", "key-1"},
                          {"sender", oRow.sSenderSeen},
                          {"receivers", {"alice", "bob"}},
                          {"title", "部署完成"},
                          {"content", "line one\nline \"two\"\t\\ 中文"},
                          {"received_at", "2026-12-07T08:24:49.123Z"}};
        if (oRow.eChannel == relay_proto::CH_LUMO) {
            oExpected["image_base64"] = relayd::Base64(oRow.sImage);
        }
        EXPECT_EQ(json::parse(oEvent.value("body", "")), oExpected);
    }
}

// The status decides; the peer's Retry-After (seconds or a date) is passed on.
TEST_F(WebhookSenderTest, StatusDecidesOutcome) {
    const struct {
        const char* szScript;
        relayd::OUTCOME eOutcome;
        const char* szDetail;
        int64_t llRetryAfterMs;
    } aRows[] = {
        {"", relayd::OC_DELIVERED, "HTTP 200 OK: {\"ok\": true}", -1},
        {"reply 204", relayd::OC_DELIVERED, "HTTP 204 No Content", -1},
        {"reply 400", relayd::OC_FAILED, "HTTP 400 Bad Request: scripted failure", -1},
        {"reply 404", relayd::OC_FAILED, "HTTP 404 Not Found: scripted failure", -1},
        {"reply 301", relayd::OC_FAILED, "HTTP 301 Moved Permanently: scripted failure", -1},
        {"reply 408", relayd::OC_RETRY, "HTTP 408 Request Timeout: scripted failure", -1},
        {"reply 500", relayd::OC_RETRY, "HTTP 500 Internal Server Error: scripted failure", -1},
        {"reply 503 1 retry-after=120", relayd::OC_RETRY,
         "HTTP 503 Service Unavailable: scripted failure", 120000},
        {"reply 429 1 retry-after=7", relayd::OC_RETRY,
         "HTTP 429 Too Many Requests: scripted failure", 7000},
        {"reply 429 1 retry-after=soon", relayd::OC_RETRY,
         "HTTP 429 Too Many Requests: scripted failure", -1},
        {"stall 3", relayd::OC_RETRY, "no answer within 1000 ms", -1},
        // The answer to the request cut off must not be taken for this one's.
        {"reply 400", relayd::OC_FAILED, "HTTP 400 Bad Request: scripted failure", -1},
    };
    relayd::CWebhookSender oSender(Hook(m_oPeer, kSecret), nullptr);
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ": " + aRows[i].szScript);
        if (aRows[i].szScript[0] != '\0') {
            ASSERT_TRUE(m_oPeer.Command(aRows[i].szScript));
        }
        const relayd::SAttemptResult oResult = oSender.Send(MakeMessage(relay_proto::CH_SMS), 1000);
        EXPECT_EQ(oResult.m_eOutcome, aRows[i].eOutcome);
        EXPECT_EQ(oResult.m_sDetail.rfind(aRows[i].szDetail, 0), 0u) << oResult.m_sDetail;
        EXPECT_EQ(oResult.m_llRetryAfterMs, aRows[i].llRetryAfterMs);
        EXPECT_TRUE(m_oPeer.NextEvent().is_object());
    }
}

// Retry-After as an HTTP date: the delay until then.
TEST_F(WebhookSenderTest, RetryAfterDate) {
    ASSERT_TRUE(m_oPeer.Command("reply 429 1 retry-after=Fri,_31_Dec_2100_23:59:59_GMT"));
    relayd::CWebhookSender oSender(Hook(m_oPeer, kSecret), nullptr);
    const relayd::SAttemptResult oResult = oSender.Send(MakeMessage(relay_proto::CH_SMS), 5000);
    EXPECT_EQ(oResult.m_eOutcome, relayd::OC_RETRY);
    const int64_t llThen = 4133980799LL * 1000;
    const int64_t llNow = static_cast<int64_t>(time(nullptr)) * 1000;
    EXPECT_NEAR(static_cast<double>(oResult.m_llRetryAfterMs), static_cast<double>(llThen - llNow),
                5000.0);
}

// One sender keeps its connection between messages.
TEST_F(WebhookSenderTest, ReusesConnection) {
    relayd::CWebhookSender oSender(Hook(m_oPeer, kSecret), nullptr);
    int aPorts[3] = {};
    for (int& iPort : aPorts) {
        ASSERT_EQ(oSender.Send(MakeMessage(relay_proto::CH_ZEPH), kTimeoutMs).m_eOutcome,
                  relayd::OC_DELIVERED);
        iPort = m_oPeer.NextEvent().value("client_port", 0);
    }
    EXPECT_NE(aPorts[0], 0);
    EXPECT_EQ(aPorts[0], aPorts[1]);
    EXPECT_EQ(aPorts[1], aPorts[2]);
}

// No receiver listening: a retry that says why.
TEST_F(WebhookSenderTest, NoReceiverIsRetry) {
    const relayd::SWebhook oHook = Hook(m_oPeer, "");
    m_oPeer.Kill();
    relayd::CWebhookSender oSender(oHook, nullptr);
    const relayd::SAttemptResult oResult = oSender.Send(MakeMessage(relay_proto::CH_SMS), 5000);
    EXPECT_EQ(oResult.m_eOutcome, relayd::OC_RETRY);
    EXPECT_NE(oResult.m_sDetail.find("onnect"), std::string::npos) << oResult.m_sDetail;
}

}  // namespace
