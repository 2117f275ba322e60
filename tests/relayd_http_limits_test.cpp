// The HTTP side against hostile clients, over real loopback sockets: slow heads,
// endless header lines, too many lines, big bodies, forms posted from elsewhere, event
// streams left and reopened, the connection limit. Each row asserts that the harm stays
// with the client that does it: others are answered, memory stays bounded.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "relayd/config/live_secrets.h"
#include "relayd/http/http_context.h"
#include "relayd/http/http_server.h"
#include "relayd/store/keyring.h"
#include "test_support.h"

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// This process's resident memory (the server runs inside it), in bytes.
int64_t ResidentBytes() {
    std::ifstream oStatus("/proc/self/status");
    std::string sLine;
    while (std::getline(oStatus, sLine)) {
        if (sLine.compare(0, 6, "VmRSS:") == 0) {
            return std::stoll(sLine.substr(6)) * 1024;
        }
    }
    return -1;
}

// A raw client connection: sends what a test says, reads with a time limit.
class CRawClient {
public:
    explicit CRawClient(int iPort) {
        m_iFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in oAddr = {};
        oAddr.sin_family = AF_INET;
        oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        oAddr.sin_port = htons(static_cast<uint16_t>(iPort));
        m_bConnected = connect(m_iFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)) == 0;
    }
    ~CRawClient() { close(m_iFd); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool Connected() const { return m_bConnected; }
    // False once the server has closed or reset the connection.
    bool Send(const std::string& sData) {
        return send(m_iFd, sData.data(), sData.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(sData.size());
    }
    // Reads until sPiece has arrived, the server closes, or llTimeoutMs pass; the text.
    std::string ReadUntil(const std::string& sPiece, int64_t llTimeoutMs) {
        const int64_t llDeadlineMs = SteadyMs() + llTimeoutMs;
        while (m_sText.find(sPiece) == std::string::npos && !m_bClosed) {
            const int64_t llLeftMs = llDeadlineMs - SteadyMs();
            pollfd oPoll = {m_iFd, POLLIN, 0};
            if (llLeftMs <= 0 || poll(&oPoll, 1, static_cast<int>(llLeftMs)) <= 0) {
                break;
            }
            char aBuf[4096];
            const ssize_t nRead = recv(m_iFd, aBuf, sizeof(aBuf), 0);
            if (nRead <= 0) {
                m_bClosed = true;
            } else {
                m_sText.append(aBuf, static_cast<size_t>(nRead));
            }
        }
        return m_sText;
    }
    // The whole answer of a closing server (or what came within llTimeoutMs).
    std::string ReadToClose(int64_t llTimeoutMs) {
        return ReadUntil(std::string(1, '\0') + "never", llTimeoutMs);
    }
    bool Closed() const { return m_bClosed; }

private:
    int m_iFd = -1;
    bool m_bConnected = false;
    bool m_bClosed = false;
    std::string m_sText;
};

// The status code of an answer's first line, 0 when there is none.
int StatusOf(const std::string& sAnswer) {
    if (sAnswer.compare(0, 9, "HTTP/1.1 ") != 0 || sAnswer.size() < 12) {
        return 0;
    }
    return std::stoi(sAnswer.substr(9, 3));
}

// A relay's HTTP side on a fresh store, with room for iMaxConnections connections.
class CServerUnderTest {
public:
    explicit CServerUnderTest(uint32_t dwMaxConnections = 256) {
        m_oConfig.m_sHttp = "127.0.0.1:0";
        m_oConfig.m_dwHttpMaxConnections = dwMaxConnections;
        std::string sErrMsg;
        m_pStore = relayd::OpenStore(m_oDir.Path() + "/relay.db", sErrMsg);
        EXPECT_TRUE(m_pStore) << sErrMsg;
        m_pKeys.reset(new relayd::CKeyRing(m_oConfig.m_vecKeys, m_pStore.get()));
        m_pSecrets.reset(new relayd::CLiveSecrets(m_oConfig));
        m_pServer.reset(new relayd::CHttpServer(m_oConfig, *m_pStore, *m_pKeys, *m_pSecrets,
                                                m_oMetrics, m_oEvents, nullptr, nullptr));
        EXPECT_TRUE(m_pServer->Start(sErrMsg)) << sErrMsg;
    }
    int Port() const { return m_pServer->Port(); }

    // A whole request on a connection of its own: the answer's status, or 0 when none
    // came within llTimeoutMs; the time it took in pllElapsedMs.
    int Ask(const std::string& sRequest, int64_t llTimeoutMs = 5000,
            int64_t* pllElapsedMs = nullptr, std::string* psAnswer = nullptr) const {
        const int64_t llStartMs = SteadyMs();
        CRawClient oClient(Port());
        oClient.Send(sRequest);
        const std::string sAnswer = oClient.ReadUntil("\r\n\r\n", llTimeoutMs);
        if (pllElapsedMs != nullptr) {
            *pllElapsedMs = SteadyMs() - llStartMs;
        }
        if (psAnswer != nullptr) {
            *psAnswer = oClient.ReadUntil("\"}", 1000);
        }
        return StatusOf(sAnswer);
    }

private:
    test_support::CTempDir m_oDir;
    relayd::SConfig m_oConfig;
    std::unique_ptr<relayd::IStore> m_pStore;
    std::unique_ptr<relayd::CKeyRing> m_pKeys;
    std::unique_ptr<relayd::CLiveSecrets> m_pSecrets;
    relayd::CMetrics m_oMetrics;
    relayd::CEventBus m_oEvents;
    std::unique_ptr<relayd::CHttpServer> m_pServer;
};

const char kLivez[] = "GET /livez HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
const char kKeys[] = "GET /api/v1/keys HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

TEST(RelaydHttpLimitsTest, SlowHeadsHoldUpNoOneAndEndIn408) {
    CServerUnderTest oServer;
    const int kSlow = 200;
    std::vector<std::unique_ptr<CRawClient>> vecSlow;
    for (int i = 0; i < kSlow; ++i) {
        vecSlow.emplace_back(new CRawClient(oServer.Port()));
        ASSERT_TRUE(vecSlow.back()->Send("GET /livez HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    // Each slow client goes on with one header line a second, never finishing its head.
    const int64_t llStartMs = SteadyMs();
    for (int iRound = 0; SteadyMs() - llStartMs < 9000; ++iRound) {
        for (auto& pSlow : vecSlow) {
            pSlow->Send("X-Slow-" + std::to_string(iRound) + ": 1\r\n");
        }
        for (const char* szRequest : {kLivez, kKeys}) {
            int64_t llElapsedMs = 0;
            EXPECT_EQ(200, oServer.Ask(szRequest, 5000, &llElapsedMs)) << "round " << iRound;
            EXPECT_LT(llElapsedMs, 1000) << "round " << iRound << ": " << szRequest;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    // Ten seconds after they began, each is told and closed.
    for (int i = 0; i < kSlow; ++i) {
        const std::string sAnswer = vecSlow[i]->ReadToClose(4000);
        EXPECT_EQ(408, StatusOf(sAnswer)) << "client " << i << ": " << sAnswer.substr(0, 80);
        EXPECT_TRUE(vecSlow[i]->Closed()) << "client " << i;
    }
}

TEST(RelaydHttpLimitsTest, HostileHeadsAndBodiesAreRefusedWithBoundedMemory) {
    CServerUnderTest oServer;
    std::string sManyLines = "GET /livez HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 100; ++i) {
        sManyLines += "X-" + std::to_string(i) + ": 1\r\n";
    }
    const std::string sBig(1024 * 1024 + 1, 'x');
    const std::string sChunkedBig =
        std::string("POST /api/v1/keys HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
        "Content-Type: application/json\r\n" + "Transfer-Encoding: chunked\r\n\r\n100001\r\n" +
        sBig + "\r\n0\r\n\r\n";
    const struct {
        const char* szWhat;
        std::string sRequest;
        int iStatus;
    } kRows[] = {
        {"101 header lines", sManyLines + "\r\n", 431},
        {"a 17 KiB header",
         "GET /livez HTTP/1.1\r\nX-Big: " + std::string(17 * 1024, 'a') + "\r\n\r\n", 431},
        {"a 20 KiB path", "GET /" + std::string(20 * 1024, 'a') + " HTTP/1.1\r\n\r\n", 431},
        {"Content-Length over 1 MiB",
         "POST /api/v1/keys HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
             std::to_string(sBig.size()) + "\r\n\r\n" + sBig,
         413},
        {"a chunked body over 1 MiB", sChunkedBig, 413},
        {"not HTTP", "HELLO\r\n\r\n", 400},
        {"100 header lines", sManyLines.substr(0, sManyLines.rfind("X-99")) + "\r\n", 200},
    };
    for (const auto& oRow : kRows) {
        std::string sBody;
        EXPECT_EQ(oRow.iStatus, oServer.Ask(oRow.sRequest, 5000, nullptr, &sBody)) << oRow.szWhat;
        if (oRow.iStatus != 200) {
            EXPECT_NE(std::string::npos, sBody.find("{\"error\":")) << oRow.szWhat << ": " << sBody;
        }
    }

    // Clients that send header lines without end, as fast as the server takes them: each
    // is refused at 16 KiB, and what they sent is not kept.
    const int64_t llRssBefore = ResidentBytes();
    const int kEndless = 50;
    std::vector<std::unique_ptr<CRawClient>> vecEndless;
    for (int i = 0; i < kEndless; ++i) {
        vecEndless.emplace_back(new CRawClient(oServer.Port()));
        vecEndless.back()->Send("GET /livez HTTP/1.1\r\n");
    }
    const std::string sLines = [] {
        std::string s;
        for (int i = 0; i < 64; ++i) {
            s += "X-Endless: " + std::string(50, 'e') + "\r\n";
        }
        return s;
    }();
    size_t nSent = 0;
    const int64_t llStartMs = SteadyMs();
    while (SteadyMs() - llStartMs < 2000) {
        for (auto& pClient : vecEndless) {
            if (!pClient->Closed() && pClient->Send(sLines)) {
                nSent += sLines.size();
            }
        }
        int64_t llElapsedMs = 0;
        EXPECT_EQ(200, oServer.Ask(kLivez, 5000, &llElapsedMs));
        EXPECT_LT(llElapsedMs, 1000);
    }
    for (int i = 0; i < kEndless; ++i) {
        EXPECT_EQ(431, StatusOf(vecEndless[i]->ReadUntil("\r\n", 3000))) << "client " << i;
    }
    const int64_t llGrowth = ResidentBytes() - llRssBefore;
    EXPECT_LT(llGrowth, 32 * 1024 * 1024) << nSent << " bytes sent";
}

TEST(RelaydHttpLimitsTest, OnlyJsonBodiesArePosted) {
    CServerUnderTest oServer;
    const std::string sBody = R"({"receivers": "alice"})";
    const struct {
        const char* szType;  // nullptr: no Content-Type
        int iStatus;
    } kRows[] = {
        {"text/plain", 415},
        {"application/x-www-form-urlencoded", 415},
        {"multipart/form-data; boundary=x", 415},
        {nullptr, 415},
        {"application/jsonx", 415},
        {"application/json", 201},
        {"Application/JSON; charset=utf-8", 201},
    };
    for (const auto& oRow : kRows) {
        std::string sRequest = "POST /api/v1/keys HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                               std::to_string(sBody.size()) + "\r\n";
        if (oRow.szType != nullptr) {
            sRequest += std::string("Content-Type: ") + oRow.szType + "\r\n";
        }
        std::string sAnswer;
        EXPECT_EQ(oRow.iStatus, oServer.Ask(sRequest + "\r\n" + sBody, 5000, nullptr, &sAnswer))
            << (oRow.szType ? oRow.szType : "(none)") << ": " << sAnswer;
    }
}

TEST(RelaydHttpLimitsTest, EventStreamSlotsComeBackWhenClientsLeave) {
    CServerUnderTest oServer;
    const std::string sStream =
        "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    for (int iRound = 0; iRound < 3; ++iRound) {
        std::vector<std::unique_ptr<CRawClient>> vecStreams;
        for (int i = 0; i < relayd::kMaxLongHandlers; ++i) {
            vecStreams.emplace_back(new CRawClient(oServer.Port()));
            vecStreams.back()->Send(sStream);
            const std::string sText = vecStreams.back()->ReadUntil("retry:", 5000);
            EXPECT_EQ(200, StatusOf(sText))
                << "round " << iRound << ", stream " << i << ": " << sText.substr(0, 80);
        }
        // Full: one more is refused.
        EXPECT_EQ(503, oServer.Ask(sStream)) << "round " << iRound;
        vecStreams.clear();  // every client hangs up
        // Their slots are free within a second.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

TEST(RelaydHttpLimitsTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    const uint32_t kMax = 4;
    CServerUnderTest oServer(kMax);
    std::vector<std::unique_ptr<CRawClient>> vecIdle;
    for (uint32_t i = 0; i + 1 < kMax; ++i) {
        vecIdle.emplace_back(new CRawClient(oServer.Port()));
        vecIdle.back()->Send("GET /livez HTTP/1.1\r\n");  // stalled mid-head
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The last place still serves.
    EXPECT_EQ(200, oServer.Ask(kLivez));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its place comes back
    vecIdle.emplace_back(new CRawClient(oServer.Port()));
    vecIdle.back()->Send("GET /livez HTTP/1.1\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Beyond the limit: closed without an answer.
    CRawClient oBeyond(oServer.Port());
    oBeyond.Send(kLivez);
    EXPECT_EQ("", oBeyond.ReadToClose(2000));
    EXPECT_TRUE(oBeyond.Closed());
    // One stalled client gives up: its place serves again.
    vecIdle.pop_back();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(200, oServer.Ask(kLivez));
}

}  // namespace
