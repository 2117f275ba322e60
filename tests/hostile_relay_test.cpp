// The client against a relay that misbehaves in every way the simulator can play, on
// both built-in addresses: the exact driver line, exit status 1, and a bounded run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim_process.h"
#include "tests/test_support.h"

using test_support::CSimProcess;
using test_support::CTempDir;
using test_support::FailureLine;
using test_support::kGreenOk;
using test_support::RunClient;
using test_support::SRunResult;

namespace {

// A reply package in hex: command 1, the given type byte, version 1, zero timestamp,
// result 0, 32 reserved bytes.
std::string PkgHex(const std::string& sTypeHex) {
    return "01" + sTypeHex + "01 00000000 00000000" + std::string(64, '0');
}

struct SHostileCase {
    const char* szName;
    std::vector<std::string> vecSimArgs;
    std::vector<std::string> vecAcceptedLines;  // any one of them
    long lMaxMs;
};

void RunCase(const SHostileCase& oCase, const std::vector<std::string>& vecClientArgs,
             int iExpectedStatus) {
    SCOPED_TRACE(oCase.szName);
    CSimProcess oSim;
    std::vector<std::string> vecArgs{"--listen", "127.0.0.1", "--listen", "127.0.0.2"};
    vecArgs.insert(vecArgs.end(), oCase.vecSimArgs.begin(), oCase.vecSimArgs.end());
    ASSERT_TRUE(oSim.StartAsIs(vecArgs)) << oSim.Stderr();
    const SRunResult oRun = RunClient(vecClientArgs, 30000);
    EXPECT_EQ(oRun.iExitStatus, iExpectedStatus);
    EXPECT_FALSE(oRun.bTimedOut);
    EXPECT_LE(oRun.lElapsedMs, oCase.lMaxMs);
    bool bAccepted = false;
    for (const std::string& sLine : oCase.vecAcceptedLines) {
        bAccepted = bAccepted || oRun.sStdout == sLine;
    }
    EXPECT_TRUE(bAccepted) << "stdout: " << oRun.sStdout;
    EXPECT_EQ(oSim.Stop(), 0);
}

}  // namespace

TEST(HostileRelay, EveryMisbehaviourGivesItsLineAndStatus1) {
    const std::string sOkFrameHead = "02 00000031";
    const SHostileCase kCases[] = {
        {"closes at once", {"--close"}, {FailureLine("Session closed by peer: ")}, 2000},
        {"never answers", {"--delay", "20000"}, {FailureLine("Session closed by peer: ")}, 14000},
        {"garbage", {"--reply-hex", "48545450"}, {FailureLine("STX error!")}, 2000},
        {"wrong ETX",
         {"--reply-hex", sOkFrameHead + PkgHex("01") + "00"},
         {FailureLine("ETX error!")},
         2000},
        {"length 0",
         {"--reply-hex", "02 00000000"},
         {FailureLine("Invalid pkg size. pkg_size: 0")},
         2000},
        {"length 1",
         {"--reply-hex", "02 00000001 03"},
         {FailureLine("Invalid pkg size. pkg_size: 1")},
         2000},
        {"length 4",
         {"--reply-hex", "02 00000004"},
         {FailureLine("Invalid pkg size. pkg_size: 4")},
         2000},
        {"length 5",
         {"--reply-hex", "02 00000005"},
         {FailureLine("Session closed by peer!")},
         2000},
        {"length 6, empty package",
         {"--reply-hex", "02 00000006 03"},
         {FailureLine("pkg size(0) error!")},
         2000},
        {"huge length",
         {"--reply-hex", "02 FFFFFFFF"},
         {FailureLine("Invalid pkg size. pkg_size: 4294967295")},
         2000},
        {"just above 16 MiB",
         {"--reply-hex", "02 01000001"},
         {FailureLine("Invalid pkg size. pkg_size: 16777217")},
         2000},
        {"16 MiB announced, nothing sent",
         {"--reply-hex", "02 01000000"},
         {FailureLine("Session closed by peer!")},
         2000},
        {"16 MiB announced, two bytes sent",
         {"--reply-hex", "02 01000000 0102"},
         {FailureLine("Incomplete pkg. pkg_size: 16777216, recv_size: 7")},
         2000},
        {"truncated body",
         {"--reply-hex", sOkFrameHead + "010101"},
         {FailureLine("Incomplete pkg. pkg_size: 49, recv_size: 8")},
         2000},
        {"head cut short",
         {"--reply-hex", "02"},
         {FailureLine("Invalid pkg size. pkg_size: 0")},
         2000},
        {"head cut in the length",
         {"--reply-hex", "02 000001"},
         {FailureLine("Recv pkg failed! Msg: Connect fail or no create connect.")},
         2000},
        {"package shorter than a header",
         {"--reply-hex", "02 00000010 01010101010101010101 03"},
         {FailureLine("pkg size(10) error!")},
         2000},
        {"request type echoed", {"--reply-type", "0"}, {FailureLine("pkg type(0) error!")}, 2000},
        {"type 255",
         {"--reply-type", "255", "--result", "3"},
         {FailureLine("pkg type(255) error!")},
         2000},
        {"result 1", {"--result", "1"}, {FailureLine("Unauthorized client IP.  err_code:1")}, 2000},
        {"result 2",
         {"--result", "2"},
         {FailureLine("Invalid parameter. Please make sure your input parameter is all right. "
                      "err_code:2")},
         2000},
        {"result 3",
         {"--result", "3"},
         {FailureLine("Remote web-service called, but return error! err_code:3")},
         2000},
        {"result 4",
         {"--result", "4"},
         {FailureLine("Pkg tackle failed! Maybe the pkg isn't integrate. err_code:4")},
         2000},
        {"result 5",
         {"--result", "5"},
         {FailureLine("System key verify failed! Please check! err_code:5")},
         2000},
        {"result 6",
         {"--channel-result", "sms=6"},
         {FailureLine("Unknown problem! err_code:6")},
         2000},
        {"result 4294967295",
         {"--result", "4294967295"},
         {FailureLine("Unknown problem! err_code:4294967295")},
         2000},
    };
    for (const SHostileCase& oCase : kCases) {
        RunCase(oCase, {"sms", "-T", "a", "-c", "hi", "-d", "utf8"}, 1);
    }
}

TEST(HostileRelay, SlowPiecesWithinTheLimitStillDeliver) {
    const SHostileCase oCase = {
        "49-byte reply in 7-byte pieces, 100 ms apart",
        {"--chunk", "7", "--chunk-delay", "100"},
        {std::string(kGreenOk) + " Send sms success! (receiver: a, content: hi)\n"},
        3000};
    RunCase(oCase, {"sms", "-T", "a", "-c", "hi", "-d", "utf8"}, 0);
}

TEST(HostileRelay, ResetWhileAFourMebibyteMailIsSent) {
    CTempDir oDir;
    const std::string sBig = oDir.WriteFile("big.bin", std::string(4194303, 'z'));
    const SHostileCase oCase = {
        "reset after the first bytes",
        {"--reset"},
        {FailureLine("Write: send error:Connection reset by peer"),
         FailureLine("Recv pkg failed! Msg: Read: recv error:Connection reset by peer"),
         FailureLine("Session closed by peer: ")},
        3000};
    RunCase(oCase, {"mail", "-T", "a", "-a", sBig}, 1);
}
