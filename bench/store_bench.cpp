// The store's throughput, side by side in one run:
//   1. InsertBatch with batches of 1, 16 and 64 messages, on SQLite and on PostgreSQL: each
//      batch is one durable commit, so group commit should multiply messages per second.
//   2. The store at scale: the common queries' times on a store already holding many
//      messages (500,000 by default).
//
// Usage: store_bench [--messages N] [--scale N] [--pg-url URL]
// Without --pg-url (or FANOUT_BENCH_PG_URL) a throw-away cluster is started through
// tools/pg_cluster.sh when the server binaries are installed; otherwise PostgreSQL is left
// out. Figures depend on the disk's sync speed: compare rows, not runs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "relayd/store/store.h"

namespace {

typedef std::chrono::steady_clock CLOCK;

const int64_t kNowMs = 1796631889123LL;

double SecondsSince(CLOCK::time_point tStart) {
    return std::chrono::duration<double>(CLOCK::now() - tStart).count();
}

relayd::SMessage BenchMessage(uint64_t ddwSeq) {
    relayd::SMessage oMessage;
    oMessage.m_eChannel = relay_proto::CH_SMS;
    oMessage.m_eStatus = ddwSeq % 10 == 0 ? relayd::MS_QUEUED : relayd::MS_DELIVERED;
    oMessage.m_llReceivedAtMs = kNowMs;
    oMessage.m_llNextAttemptMs = kNowMs + static_cast<int64_t>(ddwSeq % 1000);
    oMessage.m_sPeer = "127.0.0.1:40000";
    oMessage.m_sSender = "bench";
    oMessage.m_vecReceivers = {"alice", "user" + std::to_string(ddwSeq % 1000)};
    oMessage.m_sTitle = "nightly report " + std::to_string(ddwSeq);
    oMessage.m_sContent = std::string(200, 'x') + std::to_string(ddwSeq);
    oMessage.m_sPackageHash = "bench-" + std::to_string(ddwSeq) + "-" + std::to_string(getpid());
    oMessage.m_sPackageHash.resize(32, '#');
    return oMessage;
}

bool InsertMany(relayd::IStore& oStore, uint64_t& ddwSeq, size_t nMessages, size_t nBatch) {
    for (size_t nDone = 0; nDone < nMessages; nDone += nBatch) {
        std::vector<relayd::SMessage> vecBatch;
        for (size_t i = 0; i < nBatch; ++i) {
            vecBatch.push_back(BenchMessage(ddwSeq++));
        }
        std::vector<relayd::SInsertOutcome> vecOutcomes;
        std::string sErr;
        if (!oStore.InsertBatch(vecBatch, kNowMs - 1000, vecOutcomes, sErr)) {
            fprintf(stderr, "store_bench: %s\n", sErr.c_str());
            return false;
        }
    }
    return true;
}

// Part 1: one line per backend and batch size.
bool GroupCommit(const char* szName, const std::string& sUrl, size_t nMessages) {
    std::string sErr;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(sUrl, sErr);
    if (pStore == nullptr) {
        fprintf(stderr, "store_bench: %s\n", sErr.c_str());
        return false;
    }
    uint64_t ddwSeq = 0;
    double dSingle = 0;
    for (size_t nBatch : {1, 16, 64}) {
        // Batches of one are slow (one sync each): fewer of them still give a steady rate.
        const size_t nCount = nBatch == 1 ? nMessages / 8 : nMessages;
        const CLOCK::time_point tStart = CLOCK::now();
        if (!InsertMany(*pStore, ddwSeq, nCount, nBatch)) {
            return false;
        }
        const double dRate = static_cast<double>(nCount) / SecondsSince(tStart);
        if (nBatch == 1) {
            dSingle = dRate;
        }
        printf("%-10s  batch %2zu  %6zu messages  %9.0f messages/s  %7.0f commits/s  x%.1f\n",
               szName, nBatch, nCount, dRate, dRate / static_cast<double>(nBatch), dRate / dSingle);
    }
    return true;
}

void Timed(const char* szWhat, const std::function<bool(std::string&)>& fnRun) {
    const int kRepeats = 5;
    std::string sErr;
    const CLOCK::time_point tStart = CLOCK::now();
    for (int i = 0; i < kRepeats; ++i) {
        if (!fnRun(sErr)) {
            printf("  %-44s failed: %s\n", szWhat, sErr.c_str());
            return;
        }
    }
    printf("  %-44s %8.2f ms\n", szWhat, SecondsSince(tStart) * 1000 / kRepeats);
}

// Part 2: the queries the relay runs all the time, on a full store.
bool AtScale(const char* szName, const std::string& sUrl, size_t nMessages) {
    std::string sErr;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(sUrl, sErr);
    if (pStore == nullptr) {
        fprintf(stderr, "store_bench: %s\n", sErr.c_str());
        return false;
    }
    uint64_t ddwSeq = 1000000000;
    const CLOCK::time_point tFill = CLOCK::now();
    if (!InsertMany(*pStore, ddwSeq, nMessages, 500)) {
        return false;
    }
    printf("%s with %zu messages (filled in %.1f s):\n", szName, nMessages, SecondsSince(tFill));
    relayd::SMessagePage oPage;
    Timed("list newest 50", [&](std::string& sErr) {
        return pStore->ListMessages(relayd::SMessageQuery(), oPage, sErr);
    });
    Timed("list receiver=user7, newest 50", [&](std::string& sErr) {
        relayd::SMessageQuery oQuery;
        oQuery.m_sReceiver = "user7";
        return pStore->ListMessages(oQuery, oPage, sErr);
    });
    Timed("list status=queued, page 100", [&](std::string& sErr) {
        relayd::SMessageQuery oQuery;
        oQuery.m_bAnyStatus = false;
        oQuery.m_eStatus = relayd::MS_QUEUED;
        oQuery.m_dwOffset = 5000;
        return pStore->ListMessages(oQuery, oPage, sErr);
    });
    Timed("list q=\"report 4242\"", [&](std::string& sErr) {
        relayd::SMessageQuery oQuery;
        oQuery.m_sText = "report 4242";
        return pStore->ListMessages(oQuery, oPage, sErr);
    });
    Timed("queue depths", [&](std::string& sErr) {
        std::vector<uint64_t> vecDepths;
        return pStore->QueueDepths(vecDepths, sErr);
    });
    Timed("claim 16 due, record their attempts", [&](std::string& sErr) {
        std::vector<relayd::SMessage> vecClaimed;
        if (!pStore->ClaimDue(kNowMs + 500, 60000,
                              {relay_proto::CH_MAIL, relay_proto::CH_ZEPH, relay_proto::CH_LUMO,
                               relay_proto::CH_SMS},
                              16, "bench", vecClaimed, sErr)) {
            return false;
        }
        relayd::SDelivery oAttempt;
        oAttempt.m_eOutcome = relayd::OC_DELIVERED;
        for (const relayd::SMessage& oMessage : vecClaimed) {
            if (!pStore->RecordAttempt(oMessage.m_llId, oAttempt, relayd::MS_DELIVERED, 0, sErr)) {
                return false;
            }
        }
        return true;
    });
    Timed("requeue expired leases", [&](std::string& sErr) {
        uint32_t dwRequeued = 0;
        return pStore->RequeueExpired(kNowMs, 5000, dwRequeued, sErr);
    });
    Timed("insert a batch of 16 duplicates", [&](std::string& sErr) {
        std::vector<relayd::SMessage> vecBatch;
        for (uint64_t i = 0; i < 16; ++i) {
            vecBatch.push_back(BenchMessage(1000000000 + i * 1000));
        }
        std::vector<relayd::SInsertOutcome> vecOutcomes;
        return pStore->InsertBatch(vecBatch, kNowMs - 1000, vecOutcomes, sErr);
    });
    Timed("get one message", [&](std::string& sErr) {
        relayd::SMessage oMessage;
        bool bFound = false;
        return pStore->GetMessage(1000, true, oMessage, bFound, sErr);
    });
    return true;
}

std::string ReadLine(const std::string& sPath) {
    std::ifstream ifs(sPath);
    std::string sLine;
    std::getline(ifs, sLine);
    return sLine;
}

}  // namespace

int main(int argc, char** argv) {
    size_t nMessages = 4096;
    size_t nScale = 500000;
    std::string sPgUrl =
        getenv("FANOUT_BENCH_PG_URL") != nullptr ? getenv("FANOUT_BENCH_PG_URL") : "";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--messages") == 0) {
            nMessages = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--scale") == 0) {
            nScale = strtoul(argv[i + 1], nullptr, 10);
        } else if (strcmp(argv[i], "--pg-url") == 0) {
            sPgUrl = argv[i + 1];
        }
    }
    char szDir[] = "/tmp/store_bench_XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        perror("store_bench: mkdtemp");
        return 1;
    }
    const std::string sDir = szDir;
    const std::string sScript = FANOUT_PG_CLUSTER_SCRIPT;
    const std::string sState = sDir + "/pg";
    bool bOwnCluster = false;
    if (sPgUrl.empty() && system((sScript + " start " + sState + " >/dev/null").c_str()) == 0) {
        sPgUrl = ReadLine(sState + "/url");
        bOwnCluster = true;
    }
    bool bOk = GroupCommit("SQLite", sDir + "/group.db", nMessages);
    if (!sPgUrl.empty()) {
        bOk = GroupCommit("PostgreSQL", sPgUrl, nMessages) && bOk;
    } else {
        printf("PostgreSQL    left out: no server binaries and no --pg-url\n");
    }
    if (nScale > 0) {
        bOk = AtScale("SQLite", sDir + "/scale.db", nScale) && bOk;
    }
    if (bOwnCluster && system((sScript + " stop " + sState).c_str()) != 0) {
        fprintf(stderr, "store_bench: the cluster did not stop\n");
    }
    if (system(("rm -rf " + sDir).c_str()) != 0) {
        fprintf(stderr, "store_bench: cannot remove %s\n", sDir.c_str());
    }
    return bOk ? 0 : 1;
}
