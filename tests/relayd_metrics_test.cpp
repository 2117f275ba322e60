// The metrics exposition: counts read back exactly from the text, histogram buckets at
// their boundaries, and the whole text accepted by promtool.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "relayd/record/metrics.h"
#include "tests/test_support.h"

namespace {

using relay_proto::CH_LUMO;
using relay_proto::CH_MAIL;
using relay_proto::CH_SMS;
using relay_proto::CH_ZEPH;

// "name{labels} value" lines by their name-and-labels; comments are skipped.
std::map<std::string, std::string> ParseSamples(const std::string& sText) {
    std::map<std::string, std::string> mapSamples;
    std::istringstream oIn(sText);
    std::string sLine;
    while (std::getline(oIn, sLine)) {
        if (sLine.empty() || sLine[0] == '#') {
            continue;
        }
        const size_t nSpace = sLine.rfind(' ');
        mapSamples[sLine.substr(0, nSpace)] = sLine.substr(nSpace + 1);
    }
    return mapSamples;
}

TEST(RelaydMetricsTest, CountsReadBack) {
    relayd::CMetrics oMetrics;
    oMetrics.CountRequest(CH_MAIL, 0);
    oMetrics.CountRequest(CH_MAIL, 0);
    oMetrics.CountRequest(CH_SMS, 5);
    oMetrics.CountRequest(CH_ZEPH, 6);  // no such result: not counted anywhere
    oMetrics.CountDuplicate(CH_LUMO);
    oMetrics.CountDelivery(CH_ZEPH, relayd::OC_RETRY);
    oMetrics.CountDelivery(CH_ZEPH, relayd::OC_RETRY);
    oMetrics.CountDelivery(CH_ZEPH, relayd::OC_DELIVERED);
    oMetrics.AddConnections(3);
    oMetrics.AddConnections(-1);
    const auto mapSamples = ParseSamples(oMetrics.Render({4, 0, 7, 1}));

    const struct {
        const char* szSample;
        const char* szValue;
    } kRows[] = {
        {"fanout_relay_requests_total{channel=\"mail\",result=\"0\"}", "2"},
        {"fanout_relay_requests_total{channel=\"sms\",result=\"5\"}", "1"},
        {"fanout_relay_requests_total{channel=\"sms\",result=\"0\"}", "0"},
        {"fanout_relay_requests_total{channel=\"zeph\",result=\"5\"}", "0"},
        {"fanout_relay_duplicates_total{channel=\"lumo\"}", "1"},
        {"fanout_relay_duplicates_total{channel=\"mail\"}", "0"},
        {"fanout_relay_deliveries_total{channel=\"zeph\",outcome=\"retry\"}", "2"},
        {"fanout_relay_deliveries_total{channel=\"zeph\",outcome=\"delivered\"}", "1"},
        {"fanout_relay_deliveries_total{channel=\"zeph\",outcome=\"failed\"}", "0"},
        {"fanout_relay_queue_depth{channel=\"mail\"}", "4"},
        {"fanout_relay_queue_depth{channel=\"lumo\"}", "7"},
        {"fanout_relay_queue_depth{channel=\"sms\"}", "1"},
        {"fanout_relay_connections", "2"},
        {"fanout_relay_request_duration_seconds_count", "0"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const auto it = mapSamples.find(kRows[i].szSample);
        ASSERT_NE(mapSamples.end(), it) << "row " << i << ": " << kRows[i].szSample;
        EXPECT_EQ(kRows[i].szValue, it->second) << "row " << i << ": " << kRows[i].szSample;
    }
    // 4 channels x 6 results, 4 duplicates, 4 x 3 deliveries, 4 depths, 1 gauge, 12
    // buckets + Inf, sum and count.
    EXPECT_EQ(24u + 4 + 12 + 4 + 1 + 13 + 2, mapSamples.size());
    // The same counters in the service manager's status line.
    EXPECT_EQ(
        "3 requests answered (2 with 0), 1 delivered, 2 retries, 0 failed, 2 connections open",
        oMetrics.Summary());
}

TEST(RelaydMetricsTest, HistogramBucketsAreCumulativeWithInclusiveBounds) {
    relayd::CMetrics oMetrics;
    for (double dSeconds : {0.0, 0.0005, 0.0006, 0.001, 0.3, 2.5, 2.6, 100.0}) {
        oMetrics.ObserveRequestSeconds(dSeconds);
    }
    const auto mapSamples = ParseSamples(oMetrics.Render({}));
    const struct {
        const char* szLe;
        const char* szCount;
    } kRows[] = {
        {"0.0005", "2"}, {"0.001", "4"}, {"0.0025", "4"}, {"0.25", "4"},
        {"0.5", "5"},    {"1", "5"},     {"2.5", "6"},    {"+Inf", "8"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sSample =
            std::string("fanout_relay_request_duration_seconds_bucket{le=\"") + kRows[i].szLe +
            "\"}";
        ASSERT_EQ(1u, mapSamples.count(sSample)) << "row " << i << ": " << sSample;
        EXPECT_EQ(kRows[i].szCount, mapSamples.at(sSample)) << "row " << i << ": " << sSample;
    }
    EXPECT_EQ("8", mapSamples.at("fanout_relay_request_duration_seconds_count"));
    EXPECT_EQ("105.402100", mapSamples.at("fanout_relay_request_duration_seconds_sum"));
    // Without depths (the store did not answer) the gauge has no samples.
    EXPECT_EQ(0u, mapSamples.count("fanout_relay_queue_depth{channel=\"mail\"}"));
}

TEST(RelaydMetricsTest, PromtoolAcceptsTheText) {
    relayd::CMetrics oMetrics;
    oMetrics.CountRequest(CH_LUMO, 2);
    oMetrics.ObserveRequestSeconds(0.004);
    test_support::CTempDir oDir;
    for (const std::vector<uint64_t>& vecDepths :
         {std::vector<uint64_t>{1, 2, 3, 4}, std::vector<uint64_t>{}}) {
        const std::string sPath = oDir.WriteFile("metrics.txt", oMetrics.Render(vecDepths));
        const test_support::SRunResult oRun = test_support::RunProgram(
            {"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + sPath});
        EXPECT_EQ(0, oRun.iExitStatus)
            << "depths " << vecDepths.size() << ": " << oRun.sStdout << oRun.sStderr;
    }
}

}  // namespace
