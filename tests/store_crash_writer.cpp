// Child of relayd_store_crash_test: stores batches in a loop and prints the id of every
// message it stored, one line each, once InsertBatch has returned. The test kills it at
// a random moment and then looks for every printed id in the store.
#include <unistd.h>

#include <cstdio>
#include <random>

#include "relayd/store/store.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: store_crash_writer STORE\n");
        return 2;
    }
    std::string sErr;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(argv[1], sErr);
    if (pStore == nullptr) {
        fprintf(stderr, "%s\n", sErr.c_str());
        return 1;
    }
    std::mt19937_64 oRandom(static_cast<uint64_t>(getpid()));
    for (;;) {
        std::vector<relayd::SMessage> vecBatch(1 + oRandom() % 16);
        for (relayd::SMessage& oMessage : vecBatch) {
            oMessage.m_vecReceivers = {"alice"};
            oMessage.m_sContent = std::string(oRandom() % 2000, 'x');
            oMessage.m_sPackageHash = std::to_string(oRandom()) + std::to_string(oRandom());
            oMessage.m_sPackageHash.resize(32, '#');
        }
        std::vector<relayd::SInsertOutcome> vecOutcomes;
        if (!pStore->InsertBatch(vecBatch, 0, vecOutcomes, sErr)) {
            fprintf(stderr, "%s\n", sErr.c_str());
            return 1;
        }
        for (const relayd::SMessage& oMessage : vecBatch) {
            printf("%lld\n", static_cast<long long>(oMessage.m_llId));
        }
        fflush(stdout);
    }
}
