// Durations of the relay's settings (relayd/record/duration): "500ms", "10s", "5m",
// "1h", "2d", parsed and formatted.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "relayd/record/duration.h"

namespace {

TEST(RelaydDuration, ParsesOnlyWholeNumbersWithAUnit) {
    const int64_t kBad = -1;
    struct SRow {
        const char* m_szText;
        int64_t m_llMs;  // kBad: refused
    } const kRows[] = {
        {"500ms", 500},
        {"10s", 10000},
        {"5m", 300000},
        {"1h", 3600000},
        {"2d", 172800000},
        {"0s", 0},
        {"0ms", 0},
        {"007s", 7000},
        {"36500d", relayd::kMaxDurationMs},
        {"52560000m", relayd::kMaxDurationMs},
        {"36501d", kBad},                 // past the limit
        {"3153600000001ms", kBad},        // past the limit in the smallest unit
        {"99999999999999999999d", kBad},  // would overflow 64 bits
        {"10", kBad},                     // no unit
        {"s", kBad},                      // no number
        {"", kBad},
        {"-1s", kBad},
        {"+1s", kBad},
        {"1.5h", kBad},
        {"1h30m", kBad},
        {" 1s", kBad},
        {"1s ", kBad},
        {"1 s", kBad},
        {"1S", kBad},
        {"1sec", kBad},
        {"1us", kBad},
        {"1w", kBad},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        int64_t llMs = 12345;
        const bool bOk = relayd::ParseDuration(kRows[i].m_szText, llMs);
        EXPECT_EQ(bOk, kRows[i].m_llMs != kBad) << "row " << i << " '" << kRows[i].m_szText << "'";
        EXPECT_EQ(llMs, bOk ? kRows[i].m_llMs : 12345)
            << "row " << i << " '" << kRows[i].m_szText << "'";
    }
}

TEST(RelaydDuration, FormatsInTheLargestExactUnitAndReadsBack) {
    struct SRow {
        int64_t m_llMs;
        const char* m_szText;
    } const kRows[] = {
        {0, "0s"},        {1, "1ms"},       {999, "999ms"},    {1000, "1s"},
        {2500, "2500ms"}, {90000, "90s"},   {60000, "1m"},     {3600000, "1h"},
        {5400000, "90m"}, {86400000, "1d"}, {90000000, "25h"}, {relayd::kMaxDurationMs, "36500d"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sText = relayd::FormatDuration(kRows[i].m_llMs);
        EXPECT_EQ(sText, kRows[i].m_szText) << "row " << i;
        int64_t llBack = -1;
        EXPECT_TRUE(relayd::ParseDuration(sText, llBack)) << "row " << i;
        EXPECT_EQ(llBack, kRows[i].m_llMs) << "row " << i;
    }
}

}  // namespace
