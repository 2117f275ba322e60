// Delivery throughput against local peers, beside the peers' own ceiling in the same run.
//
//   delivery_bench [--messages 2000] [--rounds 3] [--latency-messages 300]
//                  [--latency-rate 100]
//
// For each peer (tests/peers/http_peer.py, tests/peers/smtp_peer.py, both run --quiet):
//   plain   kWorkersPerLane threads, each with one libcurl handle, sending the same
//           message in a loop (for mail, the relay's headers and the same MIME text
//           part, so the peer reads the same lines): the most this peer takes at that
//           concurrency;
//   engine  the delivery engine draining a SQLite store (in a scratch folder) that holds
//           --messages queued messages, every attempt claimed and recorded there.
// The rounds alternate plain and engine; the median ratio engine/plain is printed beside
// its goal (>= 0.9). Then messages are stored one at a time at --latency-rate per second
// (as intake would, with a Wake()) and the time from storing to the delivered status is
// reported as p50 and p99.
#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relayd/config/config.h"
#include "relayd/config/live_secrets.h"
#include "relayd/delivery/delivery_engine.h"
#include "relayd/delivery/webhook_format.h"
#include "relayd/record/events.h"
#include "relayd/record/metrics.h"
#include "relayd/store/store.h"

namespace {

typedef std::chrono::steady_clock CLOCK;

const double kGoal = 0.9;
const int64_t kStopGraceMs = 3000;

struct SOptions {
    uint32_t m_dwMessages = 2000;
    int m_nRounds = 3;
    uint32_t m_dwLatencyMessages = 300;
    uint32_t m_dwLatencyRate = 100;
};

double SecondsSince(CLOCK::time_point tStart) {
    return std::chrono::duration<double>(CLOCK::now() - tStart).count();
}

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Die(const std::string& sWhy) {
    fprintf(stderr, "delivery_bench: %s\n", sWhy.c_str());
    exit(1);
}

// A test peer started --quiet on a free loopback port; killed with the bench.
class CPeer {
public:
    explicit CPeer(const char* szScript) {
        int aOut[2];
        if (pipe2(aOut, O_CLOEXEC) != 0) {
            Die("pipe: " + std::string(strerror(errno)));
        }
        const std::string sScript = std::string(FANOUT_PEERS_DIR) + "/" + szScript;
        m_iPid = fork();
        if (m_iPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(aOut[1], STDOUT_FILENO);
            execl("/usr/bin/python3", "/usr/bin/python3", sScript.c_str(), "--quiet",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(aOut[1]);
        m_pOut = fdopen(aOut[0], "r");
        char szLine[256];
        if (m_pOut == nullptr || fgets(szLine, sizeof(szLine), m_pOut) == nullptr ||
            sscanf(szLine, "{\"event\": \"ready\", \"port\": %d}", &m_iPort) != 1) {
            Die(std::string(szScript) + " did not start");
        }
    }
    ~CPeer() {
        kill(m_iPid, SIGKILL);
        waitpid(m_iPid, nullptr, 0);
        fclose(m_pOut);
    }
    int Port() const { return m_iPort; }

private:
    pid_t m_iPid = -1;
    FILE* m_pOut = nullptr;
    int m_iPort = 0;
};

relayd::SMessage SampleMessage(relay_proto::CHANNEL eChannel, uint32_t dwSeq) {
    relayd::SMessage oMessage;
    oMessage.m_llId = dwSeq + 1;
    oMessage.m_eChannel = eChannel;
    oMessage.m_llReceivedAtMs = UnixMs();
    oMessage.m_llNextAttemptMs = oMessage.m_llReceivedAtMs;
    oMessage.m_sPeer = "127.0.0.1:40000";
    oMessage.m_sSender = "bench";
    oMessage.m_vecReceivers = {"alice", "bob"};
    oMessage.m_sTitle = "部署完成 build 1.3";
    oMessage.m_sContent = std::string(400, 'x') + " 中文正文";
    oMessage.m_sPackageHash = "bench-" + std::to_string(dwSeq) + "-" + std::to_string(UnixMs());
    return oMessage;
}

// --- The plain client loop ------------------------------------------------------------

size_t Discard(char*, size_t nSize, size_t nCount, void*) {
    return nSize * nCount;
}

// The mail a plain libcurl program sends for SampleMessage(): the same headers, and the
// body as the same MIME part (UTF-8 text, base64), so the peer reads the same lines.
curl_mime* PlainMail(CURL* pCurl, const std::string& sContent) {
    curl_mime* pMime = curl_mime_init(pCurl);
    curl_mimepart* pPart = curl_mime_addpart(pMime);
    curl_mime_data(pPart, sContent.data(), sContent.size());
    curl_mime_type(pPart, "text/plain; charset=UTF-8");
    curl_mime_encoder(pPart, "base64");
    return pMime;
}

// One thread's loop: dwCount transfers on one handle; returns how many succeeded.
uint32_t PlainLoop(bool bSmtp, int iPort, uint32_t dwCount) {
    const relayd::SMessage oSample = SampleMessage(relay_proto::CH_MAIL, 0);
    const std::string sJson = relayd::WebhookBody(SampleMessage(relay_proto::CH_SMS, 0));
    CURL* pCurl = curl_easy_init();
    curl_slist* pList = nullptr;
    curl_slist* pHeaders = nullptr;
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT_MS, 30000L);
    if (bSmtp) {
        curl_easy_setopt(pCurl, CURLOPT_URL, ("smtp://127.0.0.1:" + std::to_string(iPort)).c_str());
        curl_easy_setopt(pCurl, CURLOPT_MAIL_FROM, "<fanout-relay@localhost>");
        pList = curl_slist_append(pList, "<alice@example.com>");
        pList = curl_slist_append(pList, "<bob@example.com>");
        curl_easy_setopt(pCurl, CURLOPT_MAIL_RCPT, pList);
        for (const char* szLine :
             {"From: fanout-relay@localhost", "To: alice@example.com, bob@example.com",
              "Subject: =?UTF-8?B?6YOo572y5a6M5oiQIGJ1aWxkIDEuMw==?=",
              "Date: Mon, 07 Dec 2026 12:00:00 +0000",
              "Message-ID: <fanout.1.1796631889123@localhost>", "MIME-Version: 1.0",
              "X-Fanout-Id: 1"}) {
            pHeaders = curl_slist_append(pHeaders, szLine);
        }
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders);
    } else {
        curl_easy_setopt(pCurl, CURLOPT_URL,
                         ("http://127.0.0.1:" + std::to_string(iPort) + "/hook").c_str());
        pList = curl_slist_append(pList, "Content-Type: application/json");
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pList);
        curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, sJson.c_str());
        curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, &Discard);
    }
    uint32_t dwOk = 0;
    for (uint32_t i = 0; i < dwCount; ++i) {
        curl_mime* pMime = bSmtp ? PlainMail(pCurl, oSample.m_sContent) : nullptr;
        if (pMime != nullptr) {
            curl_easy_setopt(pCurl, CURLOPT_MIMEPOST, pMime);
        }
        long lCode = 0;
        if (curl_easy_perform(pCurl) == CURLE_OK &&
            curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &lCode) == CURLE_OK &&
            lCode / 100 == 2) {
            ++dwOk;
        }
        curl_mime_free(pMime);
    }
    curl_slist_free_all(pHeaders);
    curl_slist_free_all(pList);
    curl_easy_cleanup(pCurl);
    return dwOk;
}

double PlainRate(bool bSmtp, int iPort, uint32_t dwMessages) {
    const uint32_t dwThreads = relayd::CDeliveryEngine::kWorkersPerLane;
    std::atomic<uint32_t> dwOk{0};
    std::vector<std::thread> vecThreads;
    const auto tStart = CLOCK::now();
    for (uint32_t t = 0; t < dwThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            dwOk += PlainLoop(bSmtp, iPort, dwMessages / dwThreads + (t < dwMessages % dwThreads));
        });
    }
    for (std::thread& th : vecThreads) {
        th.join();
    }
    const double dSeconds = SecondsSince(tStart);
    if (dwOk != dwMessages) {
        Die("plain loop: " + std::to_string(dwMessages - dwOk) + " transfers failed");
    }
    return dwMessages / dSeconds;
}

// --- The engine -----------------------------------------------------------------------

class CScratchStore {
public:
    CScratchStore() {
        char szDir[] = "/tmp/delivery_bench.XXXXXX";
        if (mkdtemp(szDir) == nullptr) {
            Die("mkdtemp: " + std::string(strerror(errno)));
        }
        m_sDir = szDir;
        std::string sErrMsg;
        m_pStore = relayd::OpenStore(m_sDir + "/relay.db", sErrMsg);
        if (!m_pStore) {
            Die(sErrMsg);
        }
    }
    ~CScratchStore() {
        m_pStore.reset();
        const std::string sCommand = "rm -rf '" + m_sDir + "'";
        if (system(sCommand.c_str()) != 0) {
            fprintf(stderr, "delivery_bench: could not remove %s\n", m_sDir.c_str());
        }
    }
    relayd::IStore& Store() { return *m_pStore; }

private:
    std::string m_sDir;
    std::unique_ptr<relayd::IStore> m_pStore;
};

relayd::SConfig EngineConfig(bool bSmtp, int iPort) {
    relayd::SConfig oConfig;
    if (bSmtp) {
        oConfig.m_oMail.m_sSmtp = "smtp://127.0.0.1:" + std::to_string(iPort);
        oConfig.m_oMail.m_sDomain = "example.com";
    } else {
        oConfig.m_aWebhooks[relay_proto::CH_SMS].m_sUrl =
            "http://127.0.0.1:" + std::to_string(iPort) + "/hook";
    }
    return oConfig;
}

uint64_t QueueDepth(relayd::IStore& oStore) {
    std::vector<uint64_t> vecDepths;
    std::string sErrMsg;
    if (!oStore.QueueDepths(vecDepths, sErrMsg)) {
        Die(sErrMsg);
    }
    uint64_t ddwTotal = 0;
    for (uint64_t ddw : vecDepths) {
        ddwTotal += ddw;
    }
    return ddwTotal;
}

uint64_t DeliveredCount(relayd::IStore& oStore) {
    relayd::SMessageQuery oQuery;
    oQuery.m_bAnyStatus = false;
    oQuery.m_eStatus = relayd::MS_DELIVERED;
    oQuery.m_dwLimit = 1;
    relayd::SMessagePage oPage;
    std::string sErrMsg;
    if (!oStore.ListMessages(oQuery, oPage, sErrMsg)) {
        Die(sErrMsg);
    }
    return oPage.m_ddwTotal;
}

double EngineRate(bool bSmtp, int iPort, uint32_t dwMessages) {
    const relay_proto::CHANNEL eChannel = bSmtp ? relay_proto::CH_MAIL : relay_proto::CH_SMS;
    CScratchStore oScratch;
    std::vector<relayd::SMessage> vecBatch;
    std::vector<relayd::SInsertOutcome> vecOutcomes;
    std::string sErrMsg;
    for (uint32_t i = 0; i < dwMessages; ++i) {
        vecBatch.push_back(SampleMessage(eChannel, i));
        if (vecBatch.size() == 200 || i + 1 == dwMessages) {
            if (!oScratch.Store().InsertBatch(vecBatch, 0, vecOutcomes, sErrMsg)) {
                Die(sErrMsg);
            }
            vecBatch.clear();
        }
    }
    relayd::CMetrics oMetrics;
    relayd::CEventBus oEvents;
    const relayd::SConfig oConfig = EngineConfig(bSmtp, iPort);
    const relayd::CLiveSecrets oSecrets(oConfig);
    relayd::CDeliveryEngine oEngine(oConfig, oSecrets, oScratch.Store(), oMetrics, oEvents,
                                    "bench");
    const auto tStart = CLOCK::now();
    if (!oEngine.Start(sErrMsg)) {
        Die(sErrMsg);
    }
    while (QueueDepth(oScratch.Store()) > 0) {
        if (SecondsSince(tStart) > 300) {
            Die("the engine did not drain the queue within 300 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double dSeconds = SecondsSince(tStart);
    oEngine.Stop(kStopGraceMs);
    if (DeliveredCount(oScratch.Store()) != dwMessages) {
        Die("engine: not every message was delivered");
    }
    return dwMessages / dSeconds;
}

// Stores messages one at a time, paced, and times each from storing to delivered.
void Latency(bool bSmtp, int iPort, const SOptions& oOpts, double& dP50Ms, double& dP99Ms) {
    const relay_proto::CHANNEL eChannel = bSmtp ? relay_proto::CH_MAIL : relay_proto::CH_SMS;
    CScratchStore oScratch;
    relayd::CMetrics oMetrics;
    relayd::CEventBus oEvents;
    const relayd::SConfig oConfig = EngineConfig(bSmtp, iPort);
    const relayd::CLiveSecrets oSecrets(oConfig);
    relayd::CDeliveryEngine oEngine(oConfig, oSecrets, oScratch.Store(), oMetrics, oEvents,
                                    "bench");
    std::string sErrMsg;
    if (!oEngine.Start(sErrMsg)) {
        Die(sErrMsg);
    }
    std::mutex oMutex;
    std::map<int64_t, CLOCK::time_point> mapStored;
    std::vector<double> vecMs;
    std::atomic<bool> bDone{false};
    std::thread thListen([&] {
        uint64_t ddwSeq = oEvents.LastSeq();
        while (!bDone) {
            std::vector<relayd::CEventBus::SEvent> vecEvents;
            oEvents.WaitAfter(ddwSeq, 100, vecEvents);
            const auto tNow = CLOCK::now();
            std::lock_guard<std::mutex> oGuard(oMutex);
            for (const auto& oEvent : vecEvents) {
                ddwSeq = oEvent.m_ddwSeq;
                auto it = mapStored.find(oEvent.m_llId);
                if (oEvent.m_eStatus == relayd::MS_DELIVERED && it != mapStored.end()) {
                    vecMs.push_back(
                        std::chrono::duration<double, std::milli>(tNow - it->second).count());
                }
            }
        }
    });
    const auto tGap = std::chrono::microseconds(1000000 / oOpts.m_dwLatencyRate);
    auto tNext = CLOCK::now();
    for (uint32_t i = 0; i < oOpts.m_dwLatencyMessages; ++i) {
        std::this_thread::sleep_until(tNext);
        tNext += tGap;
        std::vector<relayd::SMessage> vecOne{SampleMessage(eChannel, i)};
        std::vector<relayd::SInsertOutcome> vecOutcomes;
        const auto tStored = CLOCK::now();
        std::unique_lock<std::mutex> oLock(oMutex);  // the id is known only after the commit
        if (!oScratch.Store().InsertBatch(vecOne, 0, vecOutcomes, sErrMsg)) {
            Die(sErrMsg);
        }
        mapStored[vecOne[0].m_llId] = tStored;
        oLock.unlock();
        oEngine.Wake();
    }
    const auto tStart = CLOCK::now();
    while (QueueDepth(oScratch.Store()) > 0 && SecondsSince(tStart) < 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bDone = true;
    thListen.join();
    oEngine.Stop(kStopGraceMs);
    if (vecMs.size() != oOpts.m_dwLatencyMessages) {
        Die("latency: " + std::to_string(vecMs.size()) + " of " +
            std::to_string(oOpts.m_dwLatencyMessages) + " delivered");
    }
    std::sort(vecMs.begin(), vecMs.end());
    dP50Ms = vecMs[vecMs.size() / 2];
    dP99Ms = vecMs[std::min(vecMs.size() - 1, vecMs.size() * 99 / 100)];
}

double Median(std::vector<double> vec) {
    std::sort(vec.begin(), vec.end());
    return vec[vec.size() / 2];
}

void Run(const char* szName, bool bSmtp, const SOptions& oOpts) {
    CPeer oPeer(bSmtp ? "smtp_peer.py" : "http_peer.py");
    std::vector<double> vecPlain;
    std::vector<double> vecEngine;
    std::vector<double> vecRatio;
    for (int r = 0; r < oOpts.m_nRounds; ++r) {
        vecPlain.push_back(PlainRate(bSmtp, oPeer.Port(), oOpts.m_dwMessages));
        vecEngine.push_back(EngineRate(bSmtp, oPeer.Port(), oOpts.m_dwMessages));
        vecRatio.push_back(vecEngine.back() / vecPlain.back());
        printf("  %-5s round %d: plain %7.0f msg/s, engine %7.0f msg/s, ratio %.2f\n", szName,
               r + 1, vecPlain.back(), vecEngine.back(), vecRatio.back());
        fflush(stdout);
    }
    double dP50 = 0;
    double dP99 = 0;
    Latency(bSmtp, oPeer.Port(), oOpts, dP50, dP99);
    const double dRatio = Median(vecRatio);
    printf(
        "%-5s plain %7.0f msg/s  engine %7.0f msg/s  ratio %.2f (goal >= %.1f: %s)  "
        "stored->delivered p50 %.1f ms  p99 %.1f ms (at %u msg/s)\n",
        szName, Median(vecPlain), Median(vecEngine), dRatio, kGoal,
        dRatio >= kGoal ? "met" : "NOT met", dP50, dP99, oOpts.m_dwLatencyRate);
    fflush(stdout);
}

bool ParseOptions(int argc, char** argv, SOptions& oOpts) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string sName = argv[i];
        const long lValue = strtol(argv[i + 1], nullptr, 10);
        if (lValue <= 0) {
            return false;
        }
        if (sName == "--messages") {
            oOpts.m_dwMessages = static_cast<uint32_t>(lValue);
        } else if (sName == "--rounds") {
            oOpts.m_nRounds = static_cast<int>(lValue);
        } else if (sName == "--latency-messages") {
            oOpts.m_dwLatencyMessages = static_cast<uint32_t>(lValue);
        } else if (sName == "--latency-rate") {
            oOpts.m_dwLatencyRate = static_cast<uint32_t>(lValue);
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
    SOptions oOpts;
    if (!ParseOptions(argc, argv, oOpts)) {
        fprintf(stderr,
                "usage: delivery_bench [--messages N] [--rounds N] [--latency-messages N] "
                "[--latency-rate N]\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    printf("delivery_bench: %u messages per round, %d rounds, %u workers per channel\n",
           oOpts.m_dwMessages, oOpts.m_nRounds, relayd::CDeliveryEngine::kWorkersPerLane);
    Run("http", false, oOpts);
    Run("smtp", true, oOpts);
    curl_global_cleanup();
    return 0;
}
