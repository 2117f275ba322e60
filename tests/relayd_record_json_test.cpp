// The record and key JSON shapes, and the dump built on them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "relayd/record/record_json.h"
#include "relayd/store/dump.h"
#include "relayd/store/store.h"
#include "tests/relayd_test_messages.h"
#include "tests/test_support.h"

using namespace relayd;

namespace {

// The value as a reader of the dumped text sees it: every field found by name.
nlohmann::json Parsed(const nlohmann::ordered_json& oValue) {
    return nlohmann::json::parse(
        oValue.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

SMessage SampleMail() {
    SMessage oMessage;
    oMessage.m_llId = 17;
    oMessage.m_eChannel = relay_proto::CH_MAIL;
    oMessage.m_eStatus = MS_DELIVERED;
    oMessage.m_llReceivedAtMs = 1796631889123LL;
    oMessage.m_sPeer = "127.0.0.1:53422";
    oMessage.m_dwTimestamp = 1796631889;
    oMessage.m_sSender = "qem_mail";
    oMessage.m_vecReceivers = {"alice", "bob"};
    oMessage.m_vecCc = {"carol"};
    oMessage.m_sTitle = "周报";
    oMessage.m_sContent = "line\n\"quoted\"";
    SAttachment oAttachment;
    oAttachment.m_sName = "notes.txt";
    oAttachment.m_ddwSize = 17;
    oAttachment.m_sSha256Hex = "ab12";
    oMessage.m_vecAttachments = {oAttachment};
    oMessage.m_dwAttempts = 1;
    SDelivery oDelivery;
    oDelivery.m_llAtMs = 1796631890000LL;
    oDelivery.m_eOutcome = OC_DELIVERED;
    oDelivery.m_sDetail = "250 2.0.0 Ok";
    oMessage.m_vecDeliveries = {oDelivery};
    return oMessage;
}

TEST(RecordJsonTest, IsoTime) {
    struct SRow {
        int64_t llMs;
        const char* szExpected;
    };
    const SRow aRows[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796631889123LL, "2026-12-07T08:24:49.123Z"},
        {951868799999LL, "2000-02-29T23:59:59.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(IsoTime(aRows[i].llMs), aRows[i].szExpected)
            << "row " << i << ": " << aRows[i].llMs;
    }
}

TEST(RecordJsonTest, RecordInTheContractsShapeAndOrder) {
    const std::string sExpected =
        R"({"id":17,"channel":"mail","status":"delivered","received_at":"2026-12-07T08:24:49.123Z",)"
        R"("peer":"127.0.0.1:53422","timestamp":1796631889,"key_id":"","sender":"qem_mail",)"
        R"("receivers":["alice","bob"],"cc":["carol"],"title":"周报","content":"line\n\"quoted\"",)"
        R"("attachments":[{"index":0,"name":"notes.txt","size":17,"sha256":"ab12"}],)"
        R"("image_size":0,"attempts":1,"last_error":"",)"
        R"("deliveries":[{"at":"2026-12-07T08:24:50.000Z","outcome":"delivered","detail":"250 2.0.0 Ok"}]})";
    EXPECT_EQ(RecordJsonOrdered(SampleMail(), true).dump(), sExpected);
    EXPECT_EQ(Parsed(RecordJsonOrdered(SampleMail(), true)), nlohmann::json::parse(sExpected));
    const nlohmann::json oListed = Parsed(RecordJsonOrdered(SampleMail(), false));
    EXPECT_FALSE(oListed.contains("deliveries"));

    SMessage oSms;
    oSms.m_eChannel = relay_proto::CH_SMS;
    const nlohmann::json oEmpty = Parsed(RecordJsonOrdered(oSms, false));
    EXPECT_EQ(oEmpty["cc"], nlohmann::json::array());
    EXPECT_EQ(oEmpty["attachments"], nlohmann::json::array());
    EXPECT_EQ(oEmpty["image_size"], 0);
}

TEST(RecordJsonTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::string sFffd = "\xEF\xBF\xBD";
    struct SRow {
        std::string sName;
        std::string sExpected;
    };
    const SRow aRows[] = {
        {"plain.txt", "plain.txt"},
        {"中文.txt", "中文.txt"},
        {"\xF0\x9F\x93\x8E", "\xF0\x9F\x93\x8E"},
        {"\xb1\xa8\xb8\xe6.txt", sFffd + sFffd + sFffd + sFffd + ".txt"},  // GBK
        {"a\xff", "a" + sFffd},
        {"\xC0\x80", sFffd + sFffd},                          // overlong NUL
        {"\xED\xA0\x80", sFffd + sFffd + sFffd},              // surrogate
        {"\xF4\x90\x80\x80", sFffd + sFffd + sFffd + sFffd},  // past U+10FFFF
        {"\xE4\xB8", sFffd},                                  // cut short: one character
        {"\xE4\xB8"
         "a",
         sFffd + "a"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SMessage oMessage = SampleMail();
        oMessage.m_vecAttachments[0].m_sName = aRows[i].sName;
        oMessage.m_sSender = aRows[i].sName;
        nlohmann::json oParsed;
        ASSERT_NO_THROW(oParsed = Parsed(RecordJsonOrdered(oMessage, true))) << "row " << i;
        EXPECT_EQ(oParsed["attachments"][0]["name"], aRows[i].sExpected) << "row " << i;
        EXPECT_EQ(oParsed["sender"], aRows[i].sExpected) << "row " << i;
    }
}

TEST(RecordJsonTest, Key) {
    SKey oKey;
    oKey.m_sId = "k1";
    oKey.m_vecReceivers = {"alice"};
    oKey.m_sSubject = "s";
    oKey.m_vecChannels = {relay_proto::CH_SMS, relay_proto::CH_LUMO};
    oKey.m_llCreatedAtMs = 0;
    oKey.m_eSource = KS_CONFIG;
    EXPECT_EQ(KeyJsonOrdered(oKey).dump(),
              R"({"id":"k1","receivers":["alice"],"cc":[],"subject":"s","channels":["sms","lumo"],)"
              R"("created_at":"1970-01-01T00:00:00.000Z","revoked":false,"source":"config"})");
    oKey.m_eSource = KS_API;
    oKey.m_bRevoked = true;
    EXPECT_EQ(Parsed(KeyJsonOrdered(oKey))["source"], "api");
    EXPECT_EQ(Parsed(KeyJsonOrdered(oKey))["revoked"], true);
}

TEST(DumpTest, OneLinePerRecordOldestFirstWithDeliveries) {
    test_support::CTempDir oDir;
    std::string sErr;
    std::unique_ptr<IStore> pStore = OpenStore(oDir.Path() + "/dump.db", sErr);
    ASSERT_TRUE(pStore != nullptr) << sErr;
    std::vector<SMessage> vecMessages{SampleMail(), SampleMail()};
    vecMessages[0].m_vecAttachments[0].m_sName = "\xff.bin";
    vecMessages[1].m_eChannel = relay_proto::CH_SMS;
    vecMessages[1].m_vecAttachments.clear();
    std::vector<SInsertOutcome> vecOutcomes;
    ASSERT_TRUE(pStore->InsertBatch(vecMessages, 0, vecOutcomes, sErr)) << sErr;
    ASSERT_TRUE(test_support::RecordAttempt(*pStore, vecMessages[0].m_llId,
                                            SampleMail().m_vecDeliveries[0], MS_DELIVERED, 0, sErr))
        << sErr;

    const std::string sPath = oDir.Path() + "/dump.jsonl";
    FILE* pOut = fopen(sPath.c_str(), "w");
    ASSERT_TRUE(pOut != nullptr);
    ASSERT_TRUE(DumpStore(*pStore, pOut, sErr)) << sErr;
    fclose(pOut);
    std::ifstream ifs(sPath);
    std::vector<nlohmann::json> vecLines;
    for (std::string sLine; std::getline(ifs, sLine);) {
        vecLines.push_back(nlohmann::json::parse(sLine));
    }
    ASSERT_EQ(vecLines.size(), 2u);
    EXPECT_EQ(vecLines[0]["id"], vecMessages[0].m_llId);
    EXPECT_EQ(vecLines[1]["id"], vecMessages[1].m_llId);
    EXPECT_EQ(vecLines[0]["attachments"][0]["name"], "\xEF\xBF\xBD.bin");
    EXPECT_EQ(vecLines[0]["deliveries"].size(), 1u);
    EXPECT_EQ(vecLines[1]["deliveries"], nlohmann::json::array());

    FILE* pFull = fopen("/dev/full", "w");
    ASSERT_TRUE(pFull != nullptr);
    EXPECT_FALSE(DumpStore(*pStore, pFull, sErr));
    EXPECT_NE(sErr.find("writing the dump"), std::string::npos) << sErr;
    fclose(pFull);
}

}  // namespace
