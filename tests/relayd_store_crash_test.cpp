// Acknowledged means stored: a process killed with SIGKILL at a random moment loses no
// message whose InsertBatch had returned.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>

#include "relayd/store/store.h"
#include "tests/test_support.h"

namespace {

const int kRounds = 6;

TEST(StoreCrashTest, EveryAcknowledgedIdSurvivesSigkill) {
    test_support::CTempDir oDir;
    const std::string sPath = oDir.Path() + "/crash.db";
    std::mt19937 oRandom(std::random_device{}());
    std::set<long long> setAcknowledged;
    for (int iRound = 0; iRound < kRounds; ++iRound) {
        const int iKillAfterMs = 300 + static_cast<int>(oRandom() % 700);
        const test_support::SRunResult oRun =
            test_support::RunProgram({FANOUT_STORE_CRASH_WRITER, sPath}, iKillAfterMs);
        ASSERT_TRUE(oRun.bTimedOut)
            << "round " << iRound << ": the writer stopped: " << oRun.sStderr;
        // Only whole lines: the kill may cut the last one.
        const std::string sWhole = oRun.sStdout.substr(0, oRun.sStdout.rfind('\n') + 1);
        std::istringstream iss(sWhole);
        for (long long llId; iss >> llId;) {
            EXPECT_TRUE(setAcknowledged.insert(llId).second) << "id " << llId << " given twice";
        }

        std::string sErr;
        std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(sPath, sErr);
        ASSERT_TRUE(pStore != nullptr) << "round " << iRound << ": " << sErr;
        std::set<long long> setStored;
        ASSERT_TRUE(pStore->ForEachMessage(
            [&](const relayd::SMessage& oMessage) {
                setStored.insert(oMessage.m_llId);
                return true;
            },
            sErr))
            << sErr;
        for (long long llId : setAcknowledged) {
            ASSERT_EQ(setStored.count(llId), 1u)
                << "round " << iRound << ": acknowledged id " << llId << " is missing";
        }
    }
    EXPECT_GT(setAcknowledged.size(), 0u) << "the writer never stored anything";
}

}  // namespace
