// Load on the relay servers over loopback: how many connections the simulator holds at once and
// how many requests per second each answers, counting every reply and every JSON line so
// that nothing lost goes unnoticed.
//
//   relay_load --sim build/bin/fanout_relay_sim [--relayd build/bin/fanout_relayd]
//              [--hold 1000,5000,10000] [--inflight 1,16,64,256] [--requests 20000]
//              [--rss-requests 500000] [--max-seconds 30] [--burst 64]
//              [--store postgresql://...]
//
// It starts each server itself on its own port offset, sends only to 127.0.0.1, and
// ends every phase after its request count or its time limit, whichever comes first.
// With --relayd the same rate phases run against fanout_relayd (a durable store in a
// scratch folder) after the simulator's, each rate shown as a ratio of the simulator's;
// with --store as well, they run once more on that store (a URL naming an empty
// database: the stored count at the end must match the requests answered 0). --burst N
// sends the relay N requests of 12 MiB at once after the rates and follows its RSS.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "fanout_client/pkg_define.h"
#include "relay_proc/process.h"
#include "relay_proto/channel.h"
#include "relay_proto/frame.h"

namespace {

typedef std::chrono::steady_clock CLOCK;
using relay_proto::CHANNEL;

const int kPortOffset = 7000;
const size_t kReplySize = 49;         // frame of a bare 43-byte reply package
const size_t kBurstBytes = 12 << 20;  // the image of each request of the burst

double SecondsSince(CLOCK::time_point tStart) {
    return std::chrono::duration<double>(CLOCK::now() - tStart).count();
}

std::string Field(const std::string& sValue) {
    const uint32_t dwNet = htonl(static_cast<uint32_t>(sValue.size()));
    return std::string(reinterpret_cast<const char*>(&dwNet), 4) + sValue;
}

// A well-formed request frame of the channel, its content unique by ddwIndex (so a relay
// that recognises repeated requests stores every one); mail carries a 1 KiB attachment,
// lumo an image of nImage bytes.
std::string RequestFrame(CHANNEL eChannel, uint64_t ddwIndex, size_t nImage = 256) {
    const std::string sContent = "hello " + std::to_string(ddwIndex);
    MSG_PKG oPkg;
    oPkg.head().set_cmd(1);
    oPkg.head().set_client_version(1);
    oPkg.head().set_timestamp(static_cast<uint32_t>(time(nullptr)));
    std::string sBody = Field("") + Field("im_server") + Field("u1;u2");
    switch (eChannel) {
        case relay_proto::CH_MAIL:
            sBody += Field("cc") + Field("subject") + Field(sContent) + std::string("\0\0\0\1", 4) +
                     Field("a.bin") + Field(std::string(1024, 'a'));
            break;
        case relay_proto::CH_LUMO:
            sBody += Field(sContent) + Field(std::string(nImage, 'i'));
            break;
        case relay_proto::CH_SMS:
        case relay_proto::CH_ZEPH:
            sBody += Field("title") + Field(sContent);
            break;
    }
    return relay_proto::BuildFrame(oPkg.str() + sBody);
}

bool IsGoodReply(const std::string& sReply) {
    return sReply.size() == kReplySize && sReply[0] == 0x02 && sReply[6] == 1 &&
           sReply.compare(12, 4, std::string(4, '\0')) == 0 && sReply.back() == 0x03;
}

// The server under load as a child: the simulator (its JSON lines are counted as they
// arrive) or fanout_relayd (its store in a scratch folder, counted at the end).
class CSim {
public:
    bool Start(const std::vector<std::string>& vecArgs) {
        int aOut[2];
        int aErr[2];
        if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aErr, O_CLOEXEC) != 0) {
            return false;
        }
        m_iPid = fork();
        if (m_iPid == 0) {
            dup2(aOut[1], STDOUT_FILENO);
            dup2(aErr[1], STDERR_FILENO);
            std::vector<char*> vecArgv;
            for (const std::string& sArg : vecArgs) {
                vecArgv.push_back(const_cast<char*>(sArg.c_str()));
            }
            vecArgv.push_back(nullptr);
            execv(vecArgv[0], vecArgv.data());
            _exit(127);
        }
        close(aOut[1]);
        close(aErr[1]);
        m_iOut = aOut[0];
        fcntl(m_iOut, F_SETFL, O_NONBLOCK);
        std::string sErr;
        char szBuf[512];
        for (ssize_t n; sErr.find("listening on") == std::string::npos;) {
            if ((n = read(aErr[0], szBuf, sizeof(szBuf))) <= 0) {
                fprintf(stderr, "relay_load: %s did not start: %s\n", vecArgs[0].c_str(),
                        sErr.c_str());
                close(aErr[0]);
                return false;
            }
            sErr.append(szBuf, static_cast<size_t>(n));
        }
        close(aErr[0]);
        return true;
    }

    ~CSim() {
        if (m_iPid > 0) {
            kill(m_iPid, SIGTERM);
            waitpid(m_iPid, nullptr, 0);
        }
        close(m_iOut);
    }

    int OutFd() const { return m_iOut; }
    bool CountsLines() const { return m_bCountsLines; }
    void SetCountsLines(bool bOn) { m_bCountsLines = bOn; }

    void ReadLines() {
        char szBuf[65536];
        ssize_t n;
        while ((n = read(m_iOut, szBuf, sizeof(szBuf))) > 0) {
            m_ddwLines += static_cast<uint64_t>(std::count(szBuf, szBuf + n, '\n'));
        }
    }
    uint64_t Lines() const { return m_ddwLines; }

    long RssKb() const {
        std::ifstream ifs("/proc/" + std::to_string(m_iPid) + "/status");
        std::string sLine;
        while (std::getline(ifs, sLine)) {
            if (sLine.compare(0, 6, "VmRSS:") == 0) {
                return std::atol(sLine.c_str() + 6);
            }
        }
        return -1;
    }

private:
    pid_t m_iPid = -1;
    int m_iOut = -1;
    uint64_t m_ddwLines = 0;
    bool m_bCountsLines = true;
};

struct SClient {
    int m_iFd = -1;
    std::string m_sFrame;
    size_t m_nSendLimit = 0;  // bytes to send before pausing (the hold phase sends halves)
    size_t m_nSent = 0;
    std::string m_sReply;
    CLOCK::time_point m_tStart;
};

// Non-blocking loopback clients driven by one epoll loop; the simulator's output is
// read in the same loop so that its pipe never fills.
class CLoad {
public:
    explicit CLoad(CSim& oSim) : m_oSim(oSim), m_iEpoll(epoll_create1(EPOLL_CLOEXEC)) {
        epoll_event oEvent = {};
        oEvent.events = EPOLLIN;
        oEvent.data.fd = m_oSim.OutFd();
        epoll_ctl(m_iEpoll, EPOLL_CTL_ADD, m_oSim.OutFd(), &oEvent);
    }
    ~CLoad() { close(m_iEpoll); }

    // Opens a connection and starts sending up to nLimit bytes (0: the whole frame).
    bool Open(uint64_t ddwIndex, size_t nLimit) {
        const CHANNEL eChannel = static_cast<CHANNEL>(ddwIndex % relay_proto::CHANNEL_COUNT);
        return OpenFrame(eChannel, RequestFrame(eChannel, ddwIndex), nLimit);
    }

    bool OpenFrame(CHANNEL eChannel, std::string&& sFrame, size_t nLimit) {
        const int iFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in oAddr = {};
        oAddr.sin_family = AF_INET;
        oAddr.sin_port = htons(relay_proto::ChannelPort(eChannel, kPortOffset));
        oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (iFd < 0 || (connect(iFd, reinterpret_cast<sockaddr*>(&oAddr), sizeof(oAddr)) != 0 &&
                        errno != EINPROGRESS)) {
            if (iFd >= 0) {
                close(iFd);
            }
            ++m_ddwFailed;
            return false;
        }
        SClient& oClient = m_mapClients[iFd];
        oClient.m_iFd = iFd;
        oClient.m_sFrame = std::move(sFrame);
        oClient.m_nSendLimit = (nLimit == 0) ? oClient.m_sFrame.size() : nLimit;
        oClient.m_tStart = CLOCK::now();
        Watch(iFd, EPOLL_CTL_ADD, EPOLLOUT);
        return true;
    }

    // Lets every paused client send the rest of its frame.
    void ReleaseAll() {
        for (auto& oEntry : m_mapClients) {
            oEntry.second.m_nSendLimit = oEntry.second.m_sFrame.size();
            Watch(oEntry.first, EPOLL_CTL_MOD, EPOLLOUT);
        }
        m_nPaused = 0;
    }

    // Runs the loop once, for at most iWaitMs.
    void Poll(int iWaitMs) {
        epoll_event aEvents[512];
        const int n = epoll_wait(m_iEpoll, aEvents, 512, iWaitMs);
        for (int i = 0; i < n; ++i) {
            if (aEvents[i].data.fd == m_oSim.OutFd()) {
                m_oSim.ReadLines();
            } else {
                OnEvent(aEvents[i].data.fd);
            }
        }
    }

    size_t Open() const { return m_mapClients.size(); }
    size_t Paused() const { return m_nPaused; }
    uint64_t Good() const { return m_ddwGood; }
    uint64_t Failed() const { return m_ddwFailed; }
    const std::vector<double>& LatenciesMs() const { return m_vecLatencyMs; }
    void ResetCounts() {
        m_ddwGood = m_ddwFailed = 0;
        m_vecLatencyMs.clear();
    }
    void CloseAll() {
        for (auto& oEntry : m_mapClients) {
            close(oEntry.first);
        }
        m_ddwFailed += m_mapClients.size();
        m_mapClients.clear();
        m_nPaused = 0;
    }

private:
    void Watch(int iFd, int iOp, uint32_t dwEvents) {
        epoll_event oEvent = {};
        oEvent.events = dwEvents;
        oEvent.data.fd = iFd;
        epoll_ctl(m_iEpoll, iOp, iFd, &oEvent);
    }

    void Finish(SClient& oClient, bool bGood) {
        if (bGood) {
            ++m_ddwGood;
            m_vecLatencyMs.push_back(SecondsSince(oClient.m_tStart) * 1000.0);
        } else {
            ++m_ddwFailed;
        }
        const int iFd = oClient.m_iFd;
        close(iFd);
        m_mapClients.erase(iFd);
    }

    void OnEvent(int iFd) {
        const auto it = m_mapClients.find(iFd);
        if (it == m_mapClients.end()) {
            return;
        }
        SClient& oClient = it->second;
        if (oClient.m_nSent < oClient.m_sFrame.size()) {
            const ssize_t n = send(iFd, oClient.m_sFrame.data() + oClient.m_nSent,
                                   oClient.m_nSendLimit - oClient.m_nSent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                Finish(oClient, false);
                return;
            }
            oClient.m_nSent += static_cast<size_t>(std::max<ssize_t>(n, 0));
            if (oClient.m_nSent == oClient.m_sFrame.size()) {
                Watch(iFd, EPOLL_CTL_MOD, EPOLLIN);
            } else if (oClient.m_nSent == oClient.m_nSendLimit) {
                Watch(iFd, EPOLL_CTL_MOD, 0);
                ++m_nPaused;
            }
            return;
        }
        char szBuf[4096];
        const ssize_t n = recv(iFd, szBuf, sizeof(szBuf), 0);
        if (n > 0) {
            oClient.m_sReply.append(szBuf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EAGAIN) {
            Finish(oClient, n == 0 && IsGoodReply(oClient.m_sReply));
        }
    }

    CSim& m_oSim;
    int m_iEpoll;
    std::unordered_map<int, SClient> m_mapClients;
    size_t m_nPaused = 0;
    uint64_t m_ddwGood = 0;
    uint64_t m_ddwFailed = 0;
    std::vector<double> m_vecLatencyMs;
};

// Waits until the simulator has printed ddwLines lines in all, or one second passed.
// fanout_relayd prints none: its store is counted at the end instead.
bool LinesArrive(CSim& oSim, CLoad& oLoad, uint64_t ddwLines) {
    if (!oSim.CountsLines()) {
        return true;
    }
    const auto tStart = CLOCK::now();
    while (oSim.Lines() < ddwLines && SecondsSince(tStart) < 1.0) {
        oLoad.Poll(10);
    }
    return oSim.Lines() == ddwLines;
}

// All nConns connect and send half a frame; then all finish and get their replies.
void HoldPhase(CSim& oSim, CLoad& oLoad, size_t nConns, double dMaxSeconds, uint64_t& ddwSent) {
    oLoad.ResetCounts();
    const auto tStart = CLOCK::now();
    for (size_t i = 0; i < nConns; ++i) {
        oLoad.Open(ddwSent + i, 20);
        if (i % 256 == 255) {
            oLoad.Poll(0);
        }
    }
    while (oLoad.Paused() < oLoad.Open() && SecondsSince(tStart) < dMaxSeconds) {
        oLoad.Poll(10);
    }
    const size_t nHeld = oLoad.Paused();
    const long lRssKb = oSim.RssKb();
    oLoad.ReleaseAll();
    while (oLoad.Open() > 0 && SecondsSince(tStart) < dMaxSeconds) {
        oLoad.Poll(10);
    }
    oLoad.CloseAll();
    ddwSent += nConns;
    const bool bLines = LinesArrive(oSim, oLoad, ddwSent);
    printf(
        "hold %6zu: held %6zu at once (sim RSS %ld KiB), answered %6llu, lost %llu, "
        "lines %s, %.2f s\n",
        nConns, nHeld, lRssKb, static_cast<unsigned long long>(oLoad.Good()),
        static_cast<unsigned long long>(oLoad.Failed()), bLines ? "all" : "MISSING",
        SecondsSince(tStart));
}

struct SRate {
    double m_dPerSecond;
    double m_dP99Ms;
};

// Keeps nInflight exchanges going until ddwRequests are done or time runs out.
SRate RatePhase(CSim& oSim, CLoad& oLoad, size_t nInflight, uint64_t ddwRequests,
                double dMaxSeconds, uint64_t& ddwSent) {
    oLoad.ResetCounts();
    const auto tStart = CLOCK::now();
    uint64_t ddwStarted = 0;
    while (SecondsSince(tStart) < dMaxSeconds) {
        while (oLoad.Open() < nInflight && ddwStarted < ddwRequests) {
            oLoad.Open(ddwSent + ddwStarted, 0);
            ++ddwStarted;
        }
        if (oLoad.Open() == 0) {
            break;
        }
        oLoad.Poll(10);
    }
    const double dSeconds = SecondsSince(tStart);
    oLoad.CloseAll();
    ddwSent += ddwStarted;
    const bool bLines = LinesArrive(oSim, oLoad, ddwSent);
    std::vector<double> vecMs = oLoad.LatenciesMs();
    std::sort(vecMs.begin(), vecMs.end());
    const auto Pct = [&vecMs](double d) {
        return vecMs.empty() ? 0.0 : vecMs[static_cast<size_t>(d * (vecMs.size() - 1))];
    };
    const SRate oRate = {static_cast<double>(oLoad.Good()) / dSeconds, Pct(0.99)};
    printf(
        "inflight %4zu: %7llu requests in %.2f s = %8.0f req/s, lost %llu, lines %s, "
        "latency p50 %.2f ms p99 %.2f ms, RSS %ld KiB\n",
        nInflight, static_cast<unsigned long long>(oLoad.Good()), dSeconds, oRate.m_dPerSecond,
        static_cast<unsigned long long>(oLoad.Failed()), bLines ? "all" : "MISSING", Pct(0.5),
        oRate.m_dP99Ms, oSim.RssKb());
    return oRate;
}

// nCount lumo requests with an image of nBytes each, all at once; then the server's
// RSS beside its idle figure, at the peak and after dSettleSeconds. A relay whose memory
// budget is spent closes some of them unanswered; those count as refused, not lost.
void BurstPhase(CSim& oServer, CLoad& oLoad, size_t nCount, size_t nBytes, double dSettleSeconds,
                uint64_t& ddwSent) {
    oLoad.ResetCounts();
    const long lIdleKb = oServer.RssKb();
    const auto tStart = CLOCK::now();
    for (size_t i = 0; i < nCount; ++i) {
        oLoad.OpenFrame(relay_proto::CH_LUMO,
                        RequestFrame(relay_proto::CH_LUMO, ddwSent + i, nBytes), 0);
    }
    ddwSent += nCount;
    long lPeakKb = lIdleKb;
    while (oLoad.Open() > 0 && SecondsSince(tStart) < 60) {
        oLoad.Poll(10);
        lPeakKb = std::max(lPeakKb, oServer.RssKb());
    }
    oLoad.CloseAll();
    const double dAnswered = SecondsSince(tStart);
    const auto tSettle = CLOCK::now();
    long lAfterKb = oServer.RssKb();
    while (SecondsSince(tSettle) < dSettleSeconds && lAfterKb - lIdleKb > 64 * 1024) {
        oLoad.Poll(100);
        lAfterKb = oServer.RssKb();
    }
    printf(
        "burst %zu x %zu MiB: %llu answered 0, %llu refused in %.2f s; RSS idle %ld MiB, "
        "peak %ld MiB, %.1f s later %ld MiB (+%ld MiB; goal: +64 MiB within %.0f s)\n",
        nCount, nBytes >> 20, static_cast<unsigned long long>(oLoad.Good()),
        static_cast<unsigned long long>(oLoad.Failed()), dAnswered, lIdleKb >> 10, lPeakKb >> 10,
        SecondsSince(tSettle), lAfterKb >> 10, (lAfterKb - lIdleKb) >> 10, dSettleSeconds);
}

// Requests stored by fanout_relayd: the lines of its --dump.
uint64_t StoredCount(const std::string& sRelayd, const std::string& sStore) {
    const std::string sCommand = "'" + sRelayd + "' --dump --store '" + sStore + "' | wc -l";
    FILE* pPipe = popen(sCommand.c_str(), "r");
    unsigned long long ullLines = 0;
    if (pPipe == nullptr || fscanf(pPipe, "%llu", &ullLines) != 1) {
        ullLines = 0;
    }
    if (pPipe != nullptr) {
        pclose(pPipe);
    }
    return ullLines;
}

// The rate the relay aims for beside the simulator's, as printed after its ratio.
const char* Goal(size_t nInflight, bool bPostgres) {
    if (bPostgres) {
        return nInflight == 64 ? " (goal: 0.5x)" : "";
    }
    switch (nInflight) {
        case 16:
            return " (goal: 0.6x)";
        case 64:
            return " (goal: 0.8x, p99 20 ms)";
        default:
            return "";
    }
}

// Durable requests against fanout_relayd on sStoreUrl (empty: an SQLite file in a scratch
// folder), each rate beside the simulator's, then the store counted; with ddwRssRequests,
// RSS sampled over that many.
void RelaydPhases(const std::string& sRelayd, const std::string& sStoreUrl,
                  const std::vector<size_t>& vecInflight, const std::vector<SRate>& vecSimRates,
                  uint64_t ddwRequests, uint64_t ddwRssRequests, size_t nBurst,
                  double dMaxSeconds) {
    char szDir[] = "/tmp/relay_load_XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        perror("relay_load: mkdtemp");
        return;
    }
    const std::string sStore = sStoreUrl.empty() ? std::string(szDir) + "/load.db" : sStoreUrl;
    uint64_t ddwGood = 0;
    {
        CSim oRelayd;
        oRelayd.SetCountsLines(false);
        if (!oRelayd.Start({sRelayd, "--port-offset", std::to_string(kPortOffset), "--http", "off",
                            "--store", sStore})) {
            return;
        }
        CLoad oLoad(oRelayd);
        uint64_t ddwSent = 0;
        printf("fanout_relayd (durable: %s):\n",
               sStoreUrl.empty() ? "SQLite, WAL, synchronous=FULL" : "PostgreSQL");
        for (size_t i = 0; i < vecInflight.size(); ++i) {
            const SRate oRate =
                RatePhase(oRelayd, oLoad, vecInflight[i], ddwRequests, dMaxSeconds, ddwSent);
            ddwGood += oLoad.Good();
            if (i < vecSimRates.size()) {
                printf("  -> %.2fx the simulator's rate at %zu in flight, p99 %.2f ms%s\n",
                       oRate.m_dPerSecond / vecSimRates[i].m_dPerSecond, vecInflight[i],
                       oRate.m_dP99Ms, Goal(vecInflight[i], !sStoreUrl.empty()));
            }
        }
        if (nBurst > 0) {
            BurstPhase(oRelayd, oLoad, nBurst, kBurstBytes, 10.0, ddwSent);
            ddwGood += oLoad.Good();
        }
        for (uint64_t ddwDone = 0; ddwDone < ddwRssRequests; ddwDone += 50000) {
            RatePhase(oRelayd, oLoad, 64, 50000, dMaxSeconds * 10, ddwSent);
            ddwGood += oLoad.Good();
        }
    }
    const uint64_t ddwStored = StoredCount(sRelayd, sStore);
    printf("fanout_relayd stored %llu of the %llu requests it answered 0 (%s)\n",
           static_cast<unsigned long long>(ddwStored), static_cast<unsigned long long>(ddwGood),
           ddwStored == ddwGood ? "all" : "MISMATCH");
    const std::string sRemove = std::string("rm -rf '") + szDir + "'";
    if (system(sRemove.c_str()) != 0) {
        fprintf(stderr, "relay_load: could not remove %s\n", szDir);
    }
}

std::vector<size_t> NumberList(const std::string& sText) {
    std::vector<size_t> vecNumbers;
    std::stringstream ss(sText);
    std::string sItem;
    while (std::getline(ss, sItem, ',')) {
        vecNumbers.push_back(std::strtoul(sItem.c_str(), nullptr, 10));
    }
    return vecNumbers;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sSim;
    std::string sRelayd;
    std::string sStoreUrl;
    uint64_t ddwRssRequests = 0;
    size_t nBurst = 0;
    std::string sHold = "1000,5000,10000";
    std::string sInflight = "1,16,64,256";
    uint64_t ddwRequests = 20000;
    double dMaxSeconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string sOpt = argv[i];
        if (sOpt == "--sim") {
            sSim = argv[i + 1];
        } else if (sOpt == "--relayd") {
            sRelayd = argv[i + 1];
        } else if (sOpt == "--rss-requests") {
            ddwRssRequests = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (sOpt == "--burst") {
            nBurst = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (sOpt == "--store") {
            sStoreUrl = argv[i + 1];
        } else if (sOpt == "--hold") {
            sHold = argv[i + 1];
        } else if (sOpt == "--inflight") {
            sInflight = argv[i + 1];
        } else if (sOpt == "--requests") {
            ddwRequests = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (sOpt == "--max-seconds") {
            dMaxSeconds = std::atof(argv[i + 1]);
        }
    }
    if (sSim.empty()) {
        fprintf(stderr,
                "usage: relay_load --sim PATH [--relayd PATH] [--hold N,N...] "
                "[--inflight N,N...] [--requests N] [--rss-requests N] [--max-seconds S] "
                "[--burst N] [--store URL]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    relay_proc::RaiseFdLimit();
    std::vector<SRate> vecSimRates;
    {
        CSim oSim;
        if (!oSim.Start({sSim, "--port-offset", std::to_string(kPortOffset)})) {
            return 1;
        }
        CLoad oLoad(oSim);
        uint64_t ddwSent = 0;
        printf("fanout_relay_sim:\n");
        for (size_t nConns : NumberList(sHold)) {
            HoldPhase(oSim, oLoad, nConns, dMaxSeconds, ddwSent);
        }
        for (size_t nInflight : NumberList(sInflight)) {
            vecSimRates.push_back(
                RatePhase(oSim, oLoad, nInflight, ddwRequests, dMaxSeconds, ddwSent));
        }
    }
    if (!sRelayd.empty()) {
        RelaydPhases(sRelayd, "", NumberList(sInflight), vecSimRates, ddwRequests, ddwRssRequests,
                     nBurst, dMaxSeconds);
        if (!sStoreUrl.empty()) {
            RelaydPhases(sRelayd, sStoreUrl, NumberList(sInflight), vecSimRates, ddwRequests,
                         ddwRssRequests, nBurst, dMaxSeconds);
        }
    }
    return 0;
}
