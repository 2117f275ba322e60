// The HTTP side over loopback on a real SQLite store: every endpoint and its errors, the
// token, waiting lists, the event stream, metrics, start and stop.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "httplib_client.h"
#include "relayd/config/live_secrets.h"
#include "relayd/http/http_context.h"
#include "relayd/http/http_server.h"
#include "relayd/store/keyring.h"
#include "relayd_test_messages.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using relay_proto::CH_LUMO;
using relay_proto::CH_MAIL;
using relay_proto::CH_SMS;
using relay_proto::CH_ZEPH;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A relay's HTTP side on a fresh store in a temporary folder.
class CServerUnderTest {
public:
    explicit CServerUnderTest(const std::string& sToken = "") {
        m_oConfig.m_sHttp = "127.0.0.1:0";
        m_oConfig.m_sHttpToken = sToken;
        relayd::SKey oFileKey;
        oFileKey.m_sId = "filekey";
        oFileKey.m_vecReceivers = {"ops"};
        oFileKey.m_eSource = relayd::KS_CONFIG;
        m_oConfig.m_vecKeys.push_back(oFileKey);
        std::string sErrMsg;
        m_pStore = relayd::OpenStore(m_oDir.Path() + "/relay.db", sErrMsg);
        EXPECT_TRUE(m_pStore) << sErrMsg;
        m_pKeys.reset(new relayd::CKeyRing(m_oConfig.m_vecKeys, m_pStore.get()));
        m_pSecrets.reset(new relayd::CLiveSecrets(m_oConfig));
        m_pServer.reset(new relayd::CHttpServer(
            m_oConfig, *m_pStore, *m_pKeys, *m_pSecrets, m_oMetrics, m_oEvents,
            [this] { ++m_nWakes; }, [this] { return m_bListening.load(); }));
        EXPECT_TRUE(m_pServer->Start(sErrMsg)) << sErrMsg;
    }

    relayd::IStore& Store() { return *m_pStore; }
    relayd::CEventBus& Events() { return m_oEvents; }
    relayd::CMetrics& Metrics() { return m_oMetrics; }
    relayd::CHttpServer& Server() { return *m_pServer; }
    int Wakes() const { return m_nWakes; }
    void SetListening(bool bListening) { m_bListening = bListening; }

    std::unique_ptr<httplib::Client> Client() const {
        std::unique_ptr<httplib::Client> pClient(
            new httplib::Client("127.0.0.1", m_pServer->Port()));
        pClient->set_read_timeout(40, 0);
        return pClient;
    }

    // Stores a message and announces it, as intake does.
    int64_t Arrive(const relayd::SMessage& oMessage) {
        std::string sErrMsg;
        const int64_t llId = test_support::StoreMessage(*m_pStore, oMessage, sErrMsg);
        EXPECT_NE(0, llId) << sErrMsg;
        m_oEvents.Publish(relayd::CEventBus::EK_MESSAGE, llId, oMessage.m_eStatus);
        return llId;
    }

    void Fail(int64_t llId) {
        relayd::SDelivery oAttempt;
        oAttempt.m_llAtMs = 1796631889000;
        oAttempt.m_eOutcome = relayd::OC_FAILED;
        oAttempt.m_sDetail = "550 5.1.1 no such user";
        std::string sErrMsg;
        ASSERT_TRUE(
            test_support::RecordAttempt(*m_pStore, llId, oAttempt, relayd::MS_FAILED, 0, sErrMsg))
            << sErrMsg;
    }

private:
    test_support::CTempDir m_oDir;
    relayd::SConfig m_oConfig;
    std::unique_ptr<relayd::IStore> m_pStore;
    std::unique_ptr<relayd::CKeyRing> m_pKeys;
    std::unique_ptr<relayd::CLiveSecrets> m_pSecrets;
    relayd::CMetrics m_oMetrics;
    relayd::CEventBus m_oEvents;
    std::atomic<int> m_nWakes{0};
    std::atomic<bool> m_bListening{true};
    std::unique_ptr<relayd::CHttpServer> m_pServer;
};

httplib::Result Send(httplib::Client& oClient, const std::string& sMethod, const std::string& sPath,
                     const std::string& sBody = "", const httplib::Headers& mapHeaders = {}) {
    if (sMethod == "POST") {
        return oClient.Post(sPath.c_str(), mapHeaders, sBody, "application/json");
    }
    if (sMethod == "DELETE") {
        return oClient.Delete(sPath.c_str(), mapHeaders);
    }
    return oClient.Get(sPath.c_str(), mapHeaders);
}

// The messages every API row sees.
struct SSeeded {
    int64_t llMail = 0;
    int64_t llSms = 0;
    int64_t llLumo = 0;
    int64_t llZeph = 0;
};

SSeeded Seed(CServerUnderTest& oServer) {
    SSeeded oIds;
    relayd::SMessage oMail = test_support::TestMessage(CH_MAIL, "周报", "本周\n完成", "alice;bob");
    oMail.m_vecCc = {"carol"};
    test_support::AddAttachment(oMail, "notes.txt", std::string("hello\0bytes\n", 12));
    test_support::AddAttachment(oMail, "报告 \"x\".txt", "second");
    oIds.llMail = oServer.Arrive(oMail);
    relayd::SMessage oSms = test_support::TestMessage(CH_SMS, "", "短信 hello", "dave");
    oSms.m_eStatus = relayd::MS_QUEUED;
    oIds.llSms = oServer.Arrive(oSms);
    relayd::SMessage oLumo = test_support::TestMessage(CH_LUMO, "", "picture", "erin");
    test_support::SetImage(oLumo, test_support::TinyPng());
    oIds.llLumo = oServer.Arrive(oLumo);
    relayd::SMessage oZeph = test_support::TestMessage(CH_ZEPH, "告警", "disk full", "frank");
    oZeph.m_eStatus = relayd::MS_QUEUED;
    oIds.llZeph = oServer.Arrive(oZeph);
    oServer.Fail(oIds.llZeph);
    return oIds;
}

TEST(RelaydHttpTest, ApiEndpointsAndTheirErrors) {
    CServerUnderTest oServer;
    const SSeeded oIds = Seed(oServer);
    const std::string sMail = "/api/v1/messages/" + std::to_string(oIds.llMail);
    const std::string sSms = "/api/v1/messages/" + std::to_string(oIds.llSms);
    const std::string sLumo = "/api/v1/messages/" + std::to_string(oIds.llLumo);
    const std::string sZeph = "/api/v1/messages/" + std::to_string(oIds.llZeph);
    // Over the 1 MiB a request body may hold.
    const std::string sBigBody = "{\"subject\": \"" + std::string(1024 * 1024, 'x') + "\"}";

    // Rows run in order: later rows see what earlier ones changed.
    const struct {
        const char* szMethod;
        std::string sPath;
        std::string sBody;
        int iStatus;
        std::string sBodyHas;  // a piece of the body
        const char* szHeader;  // and a header holding szHeaderHas
        const char* szHeaderHas;
    } kRows[] = {
        {"GET", "/api/v1/messages", "", 200, "\"total\":4", "Cache-Control", "no-store"},
        {"GET", "/api/v1/messages?channel=mail", "", 200, "\"title\":\"周报\"", nullptr, ""},
        {"GET", "/api/v1/messages?channel=mail", "", 200, "\"total\":1", nullptr, ""},
        {"GET", "/api/v1/messages?q=%E7%9F%AD%E4%BF%A1", "", 200, "\"total\":1", nullptr, ""},
        {"GET", "/api/v1/messages?receiver=carol", "", 200, "\"total\":1", nullptr, ""},
        {"GET", "/api/v1/messages?status=failed", "", 200, "\"status\":\"failed\"", nullptr, ""},
        {"GET", "/api/v1/messages?limit=1&offset=1", "", 200, "\"total\":4", nullptr, ""},
        {"GET", "/api/v1/messages?channel=fax", "", 400, "{\"error\":\"channel must be", nullptr,
         ""},
        {"GET", "/api/v1/messages?limit=501", "", 400, "limit must be", nullptr, ""},
        {"GET", "/api/v1/messages?wait=soon", "", 400, "wait must be", nullptr, ""},
        {"GET", sMail, "", 200, "\"deliveries\":[]", "Content-Type", "application/json"},
        {"GET", sMail, "", 200, "\"cc\":[\"carol\"]", nullptr, ""},
        {"GET", sZeph, "", 200, "550 5.1.1 no such user", nullptr, ""},
        {"GET", "/api/v1/messages/abc", "", 400, "a message id is a number", nullptr, ""},
        {"GET", "/api/v1/messages/-1", "", 400, "a message id is a number", nullptr, ""},
        {"GET", "/api/v1/messages/999999", "", 404, "no such message", nullptr, ""},
        {"GET", "/api/v1/messages/99999999999999999999", "", 404, "no such message", nullptr, ""},
        {"GET", sMail + "/attachments/0", "", 200, std::string("hello\0bytes\n", 12),
         "Content-Disposition", "attachment; filename=\"notes.txt\""},
        {"GET", sMail + "/attachments/1", "", 200, "second", "Content-Disposition",
         "attachment; filename=\"______ _x_.txt\"; filename*=UTF-8''"},
        {"GET", sMail + "/attachments/0", "", 200, "", "Content-Type", "application/octet-stream"},
        {"GET", sMail + "/attachments/2", "", 404, "no such attachment", nullptr, ""},
        {"GET", sMail + "/attachments/x", "", 400, "an attachment index", nullptr, ""},
        {"GET", "/api/v1/messages/999999/attachments/0", "", 404, "no such message", nullptr, ""},
        {"GET", sLumo + "/image", "", 200, "PNG", "Content-Type", "image/png"},
        {"GET", sLumo + "/image", "", 200, "", "X-Content-Type-Options", "nosniff"},
        {"GET", sMail + "/image", "", 404, "the message has no image", nullptr, ""},
        {"POST", sMail + "/retry", "", 409, "only a failed message", nullptr, ""},
        {"POST", "/api/v1/messages/999999/retry", "", 404, "no such message", nullptr, ""},
        {"POST", sZeph + "/retry", "", 200, "\"status\":\"queued\"", nullptr, ""},
        {"POST", sZeph + "/retry", "", 409, "only a failed message", nullptr, ""},
        {"GET", sZeph, "", 200, "\"status\":\"queued\"", nullptr, ""},
        {"DELETE", sSms, "", 204, "", nullptr, ""},
        {"DELETE", sSms, "", 404, "no such message", nullptr, ""},
        {"GET", sSms, "", 404, "no such message", nullptr, ""},
        {"GET", "/api/v1/keys", "", 200, "\"source\":\"config\"", nullptr, ""},
        {"POST", "/api/v1/keys", R"({"id": "team.a", "receivers": "alice;bob", "cc": ["carol"],
            "subject": "日报", "channels": ["mail", "sms"]})",
         201, "\"channels\":[\"mail\",\"sms\"]", nullptr, ""},
        {"POST", "/api/v1/keys", R"({"id": "team.a"})", 409, "is taken", nullptr, ""},
        {"POST", "/api/v1/keys", R"({"id": "filekey"})", 409, "is taken", nullptr, ""},
        {"POST", "/api/v1/keys", R"({"receivers": "bad name"})", 400, "is not a name", nullptr, ""},
        {"POST", "/api/v1/keys", "not json", 400, "the body must be a JSON object", nullptr, ""},
        {"POST", "/api/v1/keys", sBigBody, 413, "request body too large", nullptr, ""},
        {"GET", "/api/v1/keys", "", 200, "\"subject\":\"日报\"", nullptr, ""},
        {"DELETE", "/api/v1/keys/filekey", "", 409, "configuration file", nullptr, ""},
        {"DELETE", "/api/v1/keys/nokey", "", 404, "no such key", nullptr, ""},
        {"DELETE", "/api/v1/keys/a%2Fb", "", 404, "not found", nullptr, ""},
        {"DELETE", "/api/v1/keys/a%20b", "", 404, "no such key", nullptr, ""},
        {"DELETE", "/api/v1/keys/team.a", "", 204, "", nullptr, ""},
        {"GET", "/api/v1/keys", "", 200, "\"revoked\":true", nullptr, ""},
        {"GET", "/api/v1/nothing", "", 404, "{\"error\":\"not found\"}", nullptr, ""},
        {"GET", "/livez", "", 200, "ok", nullptr, ""},
        {"GET", "/readyz", "", 200, "ready", nullptr, ""},
        {"GET", "/metrics", "", 200, "fanout_relay_queue_depth{channel=\"zeph\"} 1", "Content-Type",
         "text/plain; version=0.0.4"},
    };
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const auto& oRow = kRows[i];
        const httplib::Result oResult = Send(*pClient, oRow.szMethod, oRow.sPath, oRow.sBody);
        ASSERT_TRUE(oResult) << "row " << i << ": " << oRow.szMethod << " " << oRow.sPath;
        EXPECT_EQ(oRow.iStatus, oResult->status)
            << "row " << i << ": " << oRow.szMethod << " " << oRow.sPath << " -> " << oResult->body;
        EXPECT_NE(std::string::npos, oResult->body.find(oRow.sBodyHas))
            << "row " << i << ": " << oRow.szMethod << " " << oRow.sPath << " -> " << oResult->body;
        if (oRow.szHeader != nullptr) {
            EXPECT_NE(std::string::npos,
                      oResult->get_header_value(oRow.szHeader).find(oRow.szHeaderHas))
                << "row " << i << ": " << oRow.sPath << " " << oRow.szHeader << ": "
                << oResult->get_header_value(oRow.szHeader);
        }
    }
    EXPECT_EQ(1, oServer.Wakes());  // the one successful retry woke delivery
}

TEST(RelaydHttpTest, ListIsNewestFirstWithoutDeliveries) {
    CServerUnderTest oServer;
    const SSeeded oIds = Seed(oServer);
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    const httplib::Result oResult = pClient->Get("/api/v1/messages?limit=2");
    ASSERT_TRUE(oResult);
    const json oPage = json::parse(oResult->body);
    EXPECT_EQ(4, oPage["total"]);
    ASSERT_EQ(2u, oPage["messages"].size());
    EXPECT_EQ(oIds.llZeph, oPage["messages"][0]["id"]);
    EXPECT_EQ(oIds.llLumo, oPage["messages"][1]["id"]);
    EXPECT_FALSE(oPage["messages"][0].contains("deliveries"));
    EXPECT_EQ(test_support::TinyPng().size(), oPage["messages"][1]["image_size"]);
}

TEST(RelaydHttpTest, RegisteredKeyGetsARandomIdWhenNoneIsGiven) {
    CServerUnderTest oServer;
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    std::vector<std::string> vecIds;
    for (int i = 0; i < 2; ++i) {
        const httplib::Result oResult =
            pClient->Post("/api/v1/keys", R"({"receivers": ["alice"]})", "application/json");
        ASSERT_TRUE(oResult);
        ASSERT_EQ(201, oResult->status) << oResult->body;
        const json oKey = json::parse(oResult->body);
        vecIds.push_back(oKey["id"]);
        EXPECT_GE(vecIds.back().size(), 16u);
        EXPECT_EQ("api", oKey["source"]);
        EXPECT_EQ(false, oKey["revoked"]);
        bool bFound = false;
        relayd::SKey oStored;
        std::string sErrMsg;
        ASSERT_TRUE(oServer.Store().FindKey(vecIds.back(), oStored, bFound, sErrMsg)) << sErrMsg;
        EXPECT_TRUE(bFound);
        EXPECT_EQ(std::vector<std::string>{"alice"}, oStored.m_vecReceivers);
    }
    EXPECT_NE(vecIds[0], vecIds[1]);
}

TEST(RelaydHttpTest, TokenGuardsTheApiOnly) {
    CServerUnderTest oServer("s3cret token");
    Seed(oServer);
    const httplib::Headers kNone;
    const httplib::Headers kRight = {{"Authorization", "Bearer s3cret token"}};
    const httplib::Headers kWrong = {{"Authorization", "Bearer s3cret tokem"}};
    const httplib::Headers kBasic = {{"Authorization", "Basic czNjcmV0"}};
    // The pages put the token's UTF-8 bytes in hex into the cookie.
    const httplib::Headers kCookie = {{"Cookie", "a=b; fanout_token=73336372657420746f6b656e"}};
    const struct {
        const char* szPath;
        const httplib::Headers* pHeaders;
        int iStatus;
    } kRows[] = {
        {"/api/v1/messages", &kNone, 401},
        {"/api/v1/messages", &kWrong, 401},
        {"/api/v1/messages", &kBasic, 401},
        {"/api/v1/messages", &kCookie, 401},
        {"/api/v1/messages", &kRight, 200},
        {"/api/v1/keys", &kNone, 401},
        {"/api/v1/keys", &kRight, 200},
        {"/api/v1/nothing", &kNone, 401},
        {"/api/v1/events", &kNone, 401},
        {"/api/v1/events", &kWrong, 401},
        {"/", &kNone, 200},
        {"/keys", &kNone, 200},
        {"/static/common.js", &kNone, 200},
        {"/livez", &kNone, 200},
        {"/metrics", &kNone, 200},
    };
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const httplib::Result oResult = pClient->Get(kRows[i].szPath, *kRows[i].pHeaders);
        ASSERT_TRUE(oResult) << "row " << i;
        EXPECT_EQ(kRows[i].iStatus, oResult->status)
            << "row " << i << ": " << kRows[i].szPath << " -> " << oResult->body;
        if (oResult->status == 401) {
            EXPECT_EQ("Bearer", oResult->get_header_value("WWW-Authenticate")) << "row " << i;
            EXPECT_EQ(0u, oResult->body.find("{\"error\":")) << "row " << i;
        }
    }
    // The stream takes the cookie (EventSource sends no headers): it answers and streams.
    std::atomic<bool> bGotStart{false};
    const httplib::Result oStream = pClient->Get(
        "/api/v1/events", kCookie,
        [&](const httplib::Response& oRes) { return oRes.status == 200; },
        [&](const char* pData, size_t nLen) {
            bGotStart = std::string(pData, nLen).find("retry:") != std::string::npos;
            return false;  // enough: hang up
        });
    EXPECT_TRUE(bGotStart);
}

TEST(RelaydHttpTest, TokensWithPercentAndUtf8Bytes) {
    const struct {
        const char* szToken;
        const char* szSent;
        int iStatus;
    } kRows[] = {
        {"ab%41c", "ab%41c", 200},
        {"ab%41c", "ab%42c", 401},
        {"令牌 x", "令牌 x", 200},
        {"令牌 x", "令牌 y", 401},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        CServerUnderTest oServer(kRows[i].szToken);
        const httplib::Result oResult = oServer.Client()->Get(
            "/api/v1/keys", {{"Authorization", std::string("Bearer ") + kRows[i].szSent}});
        ASSERT_TRUE(oResult) << "row " << i;
        EXPECT_EQ(kRows[i].iStatus, oResult->status) << "row " << i << ": " << kRows[i].szToken;
    }
}

TEST(RelaydHttpTest, PagesCarryTheirSecurityHeaders) {
    CServerUnderTest oServer;
    const struct {
        const char* szPath;
        int iStatus;
        const char* szType;
        const char* szBodyHas;
    } kRows[] = {
        {"/", 200, "text/html", "/static/inbox.js"},
        {"/messages/12", 200, "text/html", "/static/message.js"},
        {"/keys", 200, "text/html", "/static/keys.js"},
        {"/static/app.css", 200, "text/css", "font-family"},
        {"/static/common.js", 200, "text/javascript", "EventSource"},
        {"/static/index.html", 404, "application/json", "not found"},
        {"/static/nothing.js", 404, "application/json", "no such file"},
        {"/messages/x", 404, "application/json", "no such message"},
        {"/nothing", 404, "application/json", "not found"},
    };
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const httplib::Result oResult = pClient->Get(kRows[i].szPath);
        ASSERT_TRUE(oResult) << "row " << i;
        EXPECT_EQ(kRows[i].iStatus, oResult->status) << "row " << i << ": " << kRows[i].szPath;
        EXPECT_EQ(0u, oResult->get_header_value("Content-Type").find(kRows[i].szType))
            << "row " << i << ": " << oResult->get_header_value("Content-Type");
        EXPECT_NE(std::string::npos, oResult->body.find(kRows[i].szBodyHas)) << "row " << i;
        const std::string sPolicy = oResult->get_header_value("Content-Security-Policy");
        EXPECT_NE(std::string::npos, sPolicy.find("script-src 'self'")) << "row " << i;
        EXPECT_EQ(std::string::npos, sPolicy.find("unsafe-inline")) << "row " << i;
        EXPECT_EQ("nosniff", oResult->get_header_value("X-Content-Type-Options")) << "row " << i;
        EXPECT_EQ("no-referrer", oResult->get_header_value("Referrer-Policy")) << "row " << i;
        EXPECT_EQ(1u, oResult->get_header_value_count("Content-Security-Policy")) << "row " << i;
    }
}

TEST(RelaydHttpTest, OtherSitesAreKeptOut) {
    CServerUnderTest oServer;
    const SSeeded oIds = Seed(oServer);
    const std::string sRetry = "/api/v1/messages/" + std::to_string(oIds.llZeph) + "/retry";
    const struct {
        const char* szMethod;
        std::string sPath;
        httplib::Headers mapHeaders;
        int iStatus;
    } kRows[] = {
        // A page of evil.example that resolves its own name to 127.0.0.1.
        {"GET", "/api/v1/messages", {{"Host", "evil.example:12464"}}, 400},
        // A page of another site posting to the relay by its address.
        {"POST", "/api/v1/keys", {{"Origin", "http://evil.example"}}, 403},
        {"POST", sRetry, {{"Origin", "null"}}, 403},
        {"DELETE", "/api/v1/keys/x", {{"Origin", "http://evil.example"}}, 403},
        // The relay's own pages.
        {"GET", "/api/v1/messages", {{"Host", "localhost:1"}}, 200},
        {"POST",
         sRetry,
         {{"Origin", "http://127.0.0.1:" + std::to_string(oServer.Server().Port())}},
         200},
    };
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const httplib::Result oResult =
            Send(*pClient, kRows[i].szMethod, kRows[i].sPath, "{}", kRows[i].mapHeaders);
        ASSERT_TRUE(oResult) << "row " << i;
        EXPECT_EQ(kRows[i].iStatus, oResult->status) << "row " << i << ": " << oResult->body;
    }
}

TEST(RelaydHttpTest, WaitReturnsWhenAMatchArrives) {
    CServerUnderTest oServer;
    const int kWaitSeconds = 20;
    std::thread oSender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        oServer.Arrive(test_support::TestMessage(CH_SMS, "", "other text"));  // no match
        oServer.Arrive(test_support::TestMessage(CH_SMS, "", "the awaited one"));
    });
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    const int64_t llStartMs = SteadyMs();
    const httplib::Result oResult =
        pClient->Get(("/api/v1/messages?q=awaited&wait=" + std::to_string(kWaitSeconds)).c_str());
    const int64_t llElapsedMs = SteadyMs() - llStartMs;
    oSender.join();
    ASSERT_TRUE(oResult);
    const json oPage = json::parse(oResult->body);
    ASSERT_EQ(1, oPage["total"]) << oResult->body;
    EXPECT_EQ("the awaited one", oPage["messages"][0]["content"]);
    EXPECT_LT(llElapsedMs, kWaitSeconds * 1000 / 2) << "the answer waited for the time limit";
}

TEST(RelaydHttpTest, WaitSeesMessagesAnotherRelayStored) {
    CServerUnderTest oServer;
    const int kWaitSeconds = 20;
    std::thread oOtherRelay([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string sErrMsg;
        // Stored behind this relay's back: no event announces it.
        test_support::StoreMessage(oServer.Store(),
                                   test_support::TestMessage(CH_MAIL, "from the other relay", "x"),
                                   sErrMsg);
    });
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    const int64_t llStartMs = SteadyMs();
    const httplib::Result oResult = pClient->Get(
        ("/api/v1/messages?channel=mail&wait=" + std::to_string(kWaitSeconds)).c_str());
    const int64_t llElapsedMs = SteadyMs() - llStartMs;
    oOtherRelay.join();
    ASSERT_TRUE(oResult);
    EXPECT_EQ(1, json::parse(oResult->body)["total"]) << oResult->body;
    EXPECT_LT(llElapsedMs, kWaitSeconds * 1000 / 2) << "the answer waited for the time limit";
}

TEST(RelaydHttpTest, WaitWithoutAMatchAnswersEmptyAfterTheWait) {
    CServerUnderTest oServer;
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    const int64_t llStartMs = SteadyMs();
    const httplib::Result oResult = pClient->Get("/api/v1/messages?channel=zeph&wait=1");
    ASSERT_TRUE(oResult);
    EXPECT_GE(SteadyMs() - llStartMs, 1000);
    EXPECT_EQ(R"({"total":0,"messages":[]})", oResult->body);
}

// Collects an event stream's text on a thread of its own until told to hang up.
class CStreamReader {
public:
    CStreamReader(CServerUnderTest& oServer, const httplib::Headers& mapHeaders = {})
        : m_pClient(oServer.Client()) {
        m_oThread = std::thread([this, mapHeaders] {
            const httplib::Result oResult = m_pClient->Get(
                "/api/v1/events", mapHeaders,
                [this](const httplib::Response& oRes) {
                    std::lock_guard<std::mutex> oLock(m_oMutex);
                    m_sContentEncoding = oRes.get_header_value("Content-Encoding");
                    return true;
                },
                [this](const char* pData, size_t nLen) {
                    std::lock_guard<std::mutex> oLock(m_oMutex);
                    m_sText.append(pData, nLen);
                    m_oCond.notify_all();
                    return !m_bHangUp;
                });
            std::lock_guard<std::mutex> oLock(m_oMutex);
            m_bEnded = true;
            m_bEndedClean = static_cast<bool>(oResult);
            m_oCond.notify_all();
        });
    }
    ~CStreamReader() {
        {
            std::lock_guard<std::mutex> oLock(m_oMutex);
            m_bHangUp = true;
        }
        m_pClient->stop();
        m_oThread.join();
    }

    // Waits up to llTimeoutMs for sPiece to show in the stream.
    bool WaitFor(const std::string& sPiece, int64_t llTimeoutMs) {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        return m_oCond.wait_for(oLock, std::chrono::milliseconds(llTimeoutMs),
                                [&] { return m_sText.find(sPiece) != std::string::npos; });
    }
    // Waits up to llTimeoutMs for the stream to end; true when it ended and was whole.
    bool WaitForCleanEnd(int64_t llTimeoutMs) {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        m_oCond.wait_for(oLock, std::chrono::milliseconds(llTimeoutMs), [&] { return m_bEnded; });
        return m_bEnded && m_bEndedClean;
    }
    std::string Text() {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        return m_sText;
    }
    std::string ContentEncoding() {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        return m_sContentEncoding;
    }

private:
    std::unique_ptr<httplib::Client> m_pClient;
    std::thread m_oThread;
    std::mutex m_oMutex;
    std::condition_variable m_oCond;
    std::string m_sText;
    std::string m_sContentEncoding;
    bool m_bHangUp = false;
    bool m_bEnded = false;
    bool m_bEndedClean = false;
};

TEST(RelaydHttpTest, EventStreamDeliversNewMessagesAndStatusChanges) {
    CServerUnderTest oServer;
    // A client that accepts compression still gets each event at once, uncompressed.
    CStreamReader oReader(oServer, {{"Accept-Encoding", "gzip, deflate, br"}});
    ASSERT_TRUE(oReader.WaitFor("retry:", 5000)) << oReader.Text();
    const int64_t llId =
        oServer.Arrive(test_support::TestMessage(CH_ZEPH, "<b>实时</b>", "line 1\nline 2"));
    EXPECT_TRUE(oReader.WaitFor("\"title\":\"<b>实时</b>\"", 1000)) << oReader.Text();
    oServer.Events().Publish(relayd::CEventBus::EK_STATUS, llId, relayd::MS_DELIVERED);
    const std::string sStatus =
        "event: status\ndata: {\"id\":" + std::to_string(llId) + ",\"status\":\"delivered\"}\n\n";
    EXPECT_TRUE(oReader.WaitFor(sStatus, 1000)) << oReader.Text();

    const std::string sText = oReader.Text();
    EXPECT_NE(std::string::npos, sText.find("id: 1\nevent: message\ndata: {")) << sText;
    EXPECT_NE(std::string::npos, sText.find("\"content\":\"line 1\\nline 2\"")) << sText;
    EXPECT_EQ("", oReader.ContentEncoding());
}

TEST(RelaydHttpTest, EventStreamResumesAfterLastEventId) {
    CServerUnderTest oServer;
    const int64_t llFirst = oServer.Arrive(test_support::TestMessage(CH_SMS, "", "first"));
    oServer.Arrive(test_support::TestMessage(CH_SMS, "", "second"));
    CStreamReader oReader(oServer, {{"Last-Event-ID", "1"}});
    EXPECT_TRUE(oReader.WaitFor("\"content\":\"second\"", 5000)) << oReader.Text();
    EXPECT_EQ(std::string::npos, oReader.Text().find("\"id\":" + std::to_string(llFirst) + ","));
    // An id past the newest: the relay restarted since, and every event it kept is news.
    CStreamReader oAfterRestart(oServer, {{"Last-Event-ID", "999"}});
    EXPECT_TRUE(oAfterRestart.WaitFor("\"content\":\"first\"", 5000)) << oAfterRestart.Text();
    EXPECT_TRUE(oAfterRestart.WaitFor("\"content\":\"second\"", 5000)) << oAfterRestart.Text();
}

TEST(RelaydHttpTest, StopEndsEventStreamsAndWaitsCleanly) {
    CServerUnderTest oServer;
    CStreamReader oReader(oServer);
    ASSERT_TRUE(oReader.WaitFor("retry:", 5000));
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    int iWaitStatus = 0;
    std::thread oWaiter([&] {
        const httplib::Result oWait = pClient->Get("/api/v1/messages?wait=30");
        iWaitStatus = oWait ? oWait->status : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int64_t llStartMs = SteadyMs();
    oServer.Server().Stop();
    const int64_t llStopMs = SteadyMs() - llStartMs;
    oWaiter.join();
    EXPECT_TRUE(oReader.WaitForCleanEnd(5000)) << "the stream did not end with its last chunk";
    EXPECT_EQ(200, iWaitStatus);
    EXPECT_LT(llStopMs, 10000);
    oServer.Server().Stop();  // twice is harmless
}

TEST(RelaydHttpTest, LongAnswersNeverTakeEveryThread) {
    CServerUnderTest oServer;
    std::vector<std::unique_ptr<CStreamReader>> vecReaders;
    for (int i = 0; i < relayd::kMaxLongHandlers; ++i) {
        vecReaders.emplace_back(new CStreamReader(oServer));
        ASSERT_TRUE(vecReaders.back()->WaitFor("retry:", 5000)) << "stream " << i;
    }
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    httplib::Result oResult = pClient->Get("/api/v1/events");
    ASSERT_TRUE(oResult);
    EXPECT_EQ(503, oResult->status);
    EXPECT_NE(std::string::npos, oResult->body.find("too many event streams"));
    // A list asked to wait answers at once instead; short requests still find a thread.
    const int64_t llStartMs = SteadyMs();
    oResult = pClient->Get("/api/v1/messages?wait=20");
    ASSERT_TRUE(oResult);
    EXPECT_EQ(200, oResult->status);
    EXPECT_LT(SteadyMs() - llStartMs, 10000);
    EXPECT_EQ(200, pClient->Get("/api/v1/keys")->status);
}

TEST(RelaydHttpTest, ReadinessFollowsListeningAndTheStore) {
    CServerUnderTest oServer;
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    oServer.SetListening(false);
    httplib::Result oResult = pClient->Get("/readyz");
    ASSERT_TRUE(oResult);
    EXPECT_EQ(503, oResult->status);
    oServer.SetListening(true);
    oResult = pClient->Get("/readyz");
    ASSERT_TRUE(oResult);
    EXPECT_EQ(200, oResult->status);
    EXPECT_EQ(200, pClient->Get("/livez")->status);
}

// The metric samples of the exposition, by name and labels.
std::map<std::string, std::string> Samples(const std::string& sText) {
    std::map<std::string, std::string> mapSamples;
    size_t nStart = 0;
    while (nStart < sText.size()) {
        size_t nEnd = sText.find('\n', nStart);
        const std::string sLine = sText.substr(nStart, nEnd - nStart);
        nStart = nEnd == std::string::npos ? sText.size() : nEnd + 1;
        if (!sLine.empty() && sLine[0] != '#') {
            mapSamples[sLine.substr(0, sLine.rfind(' '))] = sLine.substr(sLine.rfind(' ') + 1);
        }
    }
    return mapSamples;
}

TEST(RelaydHttpTest, MetricsMoveByTheTrafficAndPassPromtool) {
    CServerUnderTest oServer;
    std::unique_ptr<httplib::Client> pClient = oServer.Client();
    const auto mapBefore = Samples(pClient->Get("/metrics")->body);
    relayd::SMessage oQueued = test_support::TestMessage(CH_LUMO, "", "queued");
    oQueued.m_eStatus = relayd::MS_QUEUED;
    oServer.Arrive(oQueued);
    oServer.Arrive(oQueued);
    oServer.Arrive(test_support::TestMessage(CH_LUMO, "", "captured"));
    relayd::CMetrics& oMetrics = oServer.Metrics();
    for (int i = 0; i < 3; ++i) {
        oMetrics.CountRequest(CH_LUMO, 0);
        oMetrics.ObserveRequestSeconds(0.002);
    }
    oMetrics.CountRequest(CH_MAIL, 2);
    oMetrics.CountDuplicate(CH_LUMO);
    oMetrics.CountDelivery(CH_SMS, relayd::OC_RETRY);
    oMetrics.AddConnections(1);
    const std::string sAfter = pClient->Get("/metrics")->body;
    const auto mapAfter = Samples(sAfter);

    const struct {
        const char* szSample;
        int iDelta;
    } kRows[] = {
        {"fanout_relay_requests_total{channel=\"lumo\",result=\"0\"}", 3},
        {"fanout_relay_requests_total{channel=\"mail\",result=\"2\"}", 1},
        {"fanout_relay_requests_total{channel=\"mail\",result=\"0\"}", 0},
        {"fanout_relay_duplicates_total{channel=\"lumo\"}", 1},
        {"fanout_relay_deliveries_total{channel=\"sms\",outcome=\"retry\"}", 1},
        {"fanout_relay_queue_depth{channel=\"lumo\"}", 2},
        {"fanout_relay_queue_depth{channel=\"mail\"}", 0},
        {"fanout_relay_connections", 1},
        {"fanout_relay_request_duration_seconds_bucket{le=\"0.0025\"}", 3},
        {"fanout_relay_request_duration_seconds_bucket{le=\"0.001\"}", 0},
        {"fanout_relay_request_duration_seconds_count", 3},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        ASSERT_EQ(1u, mapBefore.count(kRows[i].szSample)) << "row " << i;
        ASSERT_EQ(1u, mapAfter.count(kRows[i].szSample)) << "row " << i;
        EXPECT_EQ(std::stoll(mapBefore.at(kRows[i].szSample)) + kRows[i].iDelta,
                  std::stoll(mapAfter.at(kRows[i].szSample)))
            << "row " << i << ": " << kRows[i].szSample;
    }
    test_support::CTempDir oDir;
    const std::string sPath = oDir.WriteFile("metrics.txt", sAfter);
    const test_support::SRunResult oRun =
        test_support::RunProgram({"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + sPath});
    EXPECT_EQ(0, oRun.iExitStatus) << oRun.sStdout << oRun.sStderr;
}

TEST(RelaydHttpTest, StartRefusesWhatItCannotServe) {
    // A port another program holds (the relay must not share it silently).
    const int iHolder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in oAddr = {};
    oAddr.sin_family = AF_INET;
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(iHolder, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)));
    ASSERT_EQ(0, listen(iHolder, 1));
    socklen_t nLen = sizeof(oAddr);
    getsockname(iHolder, reinterpret_cast<sockaddr*>(&oAddr), &nLen);
    const std::string sTaken = "127.0.0.1:" + std::to_string(ntohs(oAddr.sin_port));

    const struct {
        std::string sHttp;
        const char* szToken;
        bool bOk;
        const char* szError;
    } kRows[] = {
        {sTaken, "", false, "Address already in use"},
        {"0.0.0.0:0", "tok", true, ""},
        {"[::1]:0", "", true, ""},
        {"[::ffff:127.0.0.1]:0", "", true, ""},  // loopback, as the configuration says
        {"localhost:0", "", false, "is not ADDR:PORT"},
        {"127.0.0.1", "", false, "is not ADDR:PORT"},
        {"off", "", true, ""},
    };
    test_support::CTempDir oDir;
    std::string sErrMsg;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(oDir.Path() + "/r.db", sErrMsg);
    ASSERT_TRUE(pStore) << sErrMsg;
    relayd::CMetrics oMetrics;
    relayd::CEventBus oEvents;
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        relayd::SConfig oConfig;
        oConfig.m_sHttp = kRows[i].sHttp;
        oConfig.m_sHttpToken = kRows[i].szToken;
        const relayd::CKeyRing oKeys({}, pStore.get());
        const relayd::CLiveSecrets oSecrets(oConfig);
        relayd::CHttpServer oServer(oConfig, *pStore, oKeys, oSecrets, oMetrics, oEvents, nullptr,
                                    nullptr);
        sErrMsg.clear();
        EXPECT_EQ(kRows[i].bOk, oServer.Start(sErrMsg)) << "row " << i << ": " << sErrMsg;
        if (!kRows[i].bOk) {
            EXPECT_EQ(0u, sErrMsg.find("http: ")) << "row " << i << ": " << sErrMsg;
            EXPECT_NE(std::string::npos, sErrMsg.find(kRows[i].szError))
                << "row " << i << ": " << sErrMsg;
            EXPECT_EQ(std::string::npos, sErrMsg.find('\n')) << "row " << i;
        }
    }
    close(iHolder);
}

}  // namespace
