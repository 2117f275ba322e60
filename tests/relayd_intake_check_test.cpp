// Intake's checks of a decoded request: the key, then the fields, and the message
// record an accepted request becomes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fanout_client/options.h"  // the client's CheckNameListValidity
#include "relayd/intake/batch_keys.h"
#include "relayd/intake/intake_check.h"
#include "relayd/intake/refusal_log.h"
#include "relayd/record/text_rules.h"
#include "relayd/store/keyring.h"
#include "relayd/store/store.h"
#include "test_support.h"

namespace {

using relay_proto::CH_LUMO;
using relay_proto::CH_MAIL;
using relay_proto::CH_SMS;
using relay_proto::CH_ZEPH;
using relay_proto::SRequest;

// --- Key ring -------------------------------------------------------------------------------

relayd::SKey Key(const std::string& sId, std::vector<std::string> vecReceivers = {},
                 std::vector<std::string> vecCc = {}, const std::string& sSubject = "",
                 std::vector<relay_proto::CHANNEL> vecChannels = {}, bool bRevoked = false) {
    relayd::SKey oKey;
    oKey.m_sId = sId;
    oKey.m_vecReceivers = vecReceivers;
    oKey.m_vecCc = vecCc;
    oKey.m_sSubject = sSubject;
    oKey.m_vecChannels = vecChannels;
    oKey.m_bRevoked = bRevoked;
    oKey.m_eSource = relayd::KS_CONFIG;
    return oKey;
}

// --- Intake checks --------------------------------------------------------------------------

// A request of eChannel that passes every check, as the client builds it.
SRequest ValidRequest(relay_proto::CHANNEL eChannel) {
    SRequest oReq;
    oReq.m_eChannel = eChannel;
    oReq.m_cCmd = 1;
    oReq.m_cClientVersion = 1;
    oReq.m_dwTimestamp = 1796631889;
    oReq.m_sSender = (eChannel == CH_MAIL) ? "qem_mail" : "im_server";
    oReq.m_sReceivers = "alice";
    oReq.m_sTitle = (eChannel == CH_ZEPH || eChannel == CH_MAIL) ? "Title" : "";
    oReq.m_sContent = "hello";
    return oReq;
}

SRequest Mail(size_t nAttachments, size_t nBytesEach) {
    SRequest oReq = ValidRequest(CH_MAIL);
    for (size_t i = 0; i < nAttachments; ++i) {
        oReq.m_vecAttachments.push_back({"f" + std::to_string(i), std::string(nBytesEach, 'x')});
    }
    return oReq;
}

template <typename FN>
SRequest With(relay_proto::CHANNEL eChannel, FN fnChange) {
    SRequest oReq = ValidRequest(eChannel);
    fnChange(oReq);
    return oReq;
}

const relayd::CKeyRing& TestKeys() {
    static const relayd::CKeyRing oRing(
        {Key("all", {"kalice", "kbob"}, {"kcarol"}, "Key subject"), Key("bare"),
         Key("mailonly", {"m"}, {}, "", {CH_MAIL}),
         Key("zephsms", {"z"}, {}, "", {CH_ZEPH, CH_SMS}), Key("revoked", {"r"}, {}, "", {}, true),
         Key("badnames", {"x.y"})},
        nullptr);
    return oRing;
}

struct SCheck {
    bool m_bDone;
    PKG_RESULT m_eResult;
    std::string m_sWhy;
    relayd::SMessage m_oMessage;
};

SCheck Check(SRequest oReq, bool bRequireKey = false) {
    SCheck oCheck;
    std::string sErrMsg;
    oCheck.m_bDone =
        relayd::CheckRequest(std::move(oReq), TestKeys(), bRequireKey, oCheck.m_oMessage,
                             oCheck.m_eResult, oCheck.m_sWhy, sErrMsg);
    return oCheck;
}

// n names "n0;n1;...".
std::string Names(size_t n) {
    std::vector<std::string> vecNames;
    for (size_t i = 0; i < n; ++i) {
        vecNames.push_back("n" + std::to_string(i));
    }
    return relayd::JoinNameList(vecNames);
}

TEST(RelaydIntakeCheck, ResultCodesInTheirOrder) {
    struct SRow {
        SRequest m_oReq;
        bool m_bRequireKey;
        PKG_RESULT m_eResult;
        const char* m_szWhy;  // a fragment of the reason; "" for RES_OK
    } const kRows[] = {
        // The key: result 5, before any field is looked at.
        {ValidRequest(CH_SMS), false, RES_OK, ""},
        {ValidRequest(CH_SMS), true, RES_KEY_REJECTED, "no key id, and a key is required"},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "nokey"; }), false, RES_KEY_REJECTED,
         "key 'nokey' is unknown"},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "revoked"; }), false, RES_KEY_REJECTED,
         "key 'revoked' is revoked"},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "mailonly"; }), false, RES_KEY_REJECTED,
         "key 'mailonly' is not allowed on sms"},
        {With(CH_LUMO, [](SRequest& r) { r.m_sKeyId = "zephsms"; }), false, RES_KEY_REJECTED,
         "not allowed on lumo"},
        {With(CH_MAIL, [](SRequest& r) { r.m_sKeyId = "mailonly"; }), false, RES_OK, ""},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "zephsms"; }), true, RES_OK, ""},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "ALL"; }), false, RES_KEY_REJECTED, "unknown"},
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = std::string("all\0", 4); }), false,
         RES_KEY_REJECTED, "key 'all\\x00' is unknown"},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sKeyId = "nokey";
                  r.m_sReceivers = "a.b";
                  r.m_sContent = "";
              }),
         false, RES_KEY_REJECTED, "unknown"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = ""; }), true, RES_KEY_REJECTED,
         "required"},
        // The fields: result 2.
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = ""; }), false, RES_INVALID_PARAM,
         "no receiver"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = ";;"; }), false, RES_INVALID_PARAM,
         "no receiver"},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sReceivers = ";;";
                  r.m_sKeyId = "all";
              }),
         false, RES_INVALID_PARAM, "no receiver"},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sReceivers = "";
                  r.m_sKeyId = "bare";
              }),
         false, RES_INVALID_PARAM, "no receiver"},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sReceivers = "";
                  r.m_sKeyId = "badnames";
              }),
         false, RES_INVALID_PARAM, "receivers 'x.y' hold a byte not allowed"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "a.b"; }), false, RES_INVALID_PARAM,
         "receivers 'a.b'"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "al ice"; }), false, RES_INVALID_PARAM,
         "receivers"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "a;\xe5"; }), false, RES_INVALID_PARAM,
         "receivers 'a;\\xE5'"},
        {With(CH_MAIL, [](SRequest& r) { r.m_sCc = "bob@x"; }), false, RES_INVALID_PARAM,
         "cc 'bob@x' holds a byte not allowed"},
        {With(CH_ZEPH, [](SRequest& r) { r.m_sTitle = "\xb2\xe2"; }), false, RES_INVALID_PARAM,
         "title is not valid UTF-8"},
        {With(CH_MAIL, [](SRequest& r) { r.m_sTitle = "\xc0\x80"; }), false, RES_INVALID_PARAM,
         "title is not valid UTF-8"},
        {With(CH_SMS, [](SRequest& r) { r.m_sTitle = "\xff"; }), false, RES_INVALID_PARAM,
         "title is not valid UTF-8"},
        {With(CH_LUMO, [](SRequest& r) { r.m_sContent = "\xed\xa0\x80"; }), false,
         RES_INVALID_PARAM, "content is not valid UTF-8"},
        {With(CH_MAIL, [](SRequest& r) { r.m_sContent = "a\xe4\xbd"; }), false, RES_INVALID_PARAM,
         "content is not valid UTF-8"},
        {With(CH_SMS, [](SRequest& r) { r.m_sContent = ""; }), false, RES_INVALID_PARAM,
         "empty content"},
        {With(CH_ZEPH, [](SRequest& r) { r.m_sContent = ""; }), false, RES_INVALID_PARAM,
         "empty content"},
        {With(CH_ZEPH, [](SRequest& r) { r.m_sTitle = ""; }), false, RES_INVALID_PARAM,
         "empty title"},
        {With(CH_ZEPH,
              [](SRequest& r) {
                  r.m_sTitle = "";
                  r.m_sKeyId = "bare";
              }),
         false, RES_INVALID_PARAM, "empty title"},
        {With(CH_LUMO, [](SRequest& r) { r.m_sContent = ""; }), false, RES_INVALID_PARAM,
         "neither content nor image"},
        {Mail(21, 1), false, RES_INVALID_PARAM, "21 attachments, more than 20"},
        {Mail(2, 4194303 / 2 + 1), false, RES_INVALID_PARAM,
         "4194304 attachment bytes, more than 4194303"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{"a", "1"}, {"", "2"}};
              }),
         false, RES_INVALID_PARAM, "attachment 2 has the name ''"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{"dir/a", "1"}};
              }),
         false, RES_INVALID_PARAM, "attachment 1 has the name 'dir/a'"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{"/", "1"}};
              }),
         false, RES_INVALID_PARAM, "name '/'"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{std::string("a\0b", 3), "1"}};
              }),
         false, RES_INVALID_PARAM, "name 'a\\x00b'"},
        // How many names, how long a name.
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sReceivers = Names(600);
                  r.m_sCc = Names(401);
              }),
         false, RES_INVALID_PARAM, "1001 receivers and cc, more than 1000"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "a;" + std::string(256, 'r'); }), false,
         RES_INVALID_PARAM, "receiver 'rrr"},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "a;" + std::string(256, 'r'); }), false,
         RES_INVALID_PARAM, "' is 256 bytes long, more than 255"},
        {With(CH_MAIL, [](SRequest& r) { r.m_sCc = std::string(256, 'c'); }), false,
         RES_INVALID_PARAM, "cc 'ccc"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{"a", "1"}, {std::string(256, 'f'), "2"}};
              }),
         false, RES_INVALID_PARAM, "attachment 2 has a name of 256 bytes, more than 255"},
        // Accepted.
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sReceivers = Names(600);
                  r.m_sCc = Names(400);
                  r.m_vecAttachments = {{std::string(255, 'f'), "1"}};
              }),
         false, RES_OK, ""},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = std::string(255, 'r'); }), false, RES_OK,
         ""},
        {With(CH_SMS, [](SRequest& r) { r.m_sReceivers = "a;;b;"; }), false, RES_OK, ""},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sReceivers = "";
                  r.m_sKeyId = "all";
              }),
         false, RES_OK, ""},
        {With(CH_ZEPH,
              [](SRequest& r) {
                  r.m_sTitle = "";
                  r.m_sKeyId = "all";
              }),
         false, RES_OK, ""},
        {With(CH_SMS, [](SRequest& r) { r.m_sContent = std::string("a\0b", 3); }), false, RES_OK,
         ""},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sContent = "";
                  r.m_sTitle = "";
              }),
         false, RES_OK, ""},
        {With(CH_LUMO,
              [](SRequest& r) {
                  r.m_sContent = "";
                  r.m_sImage = "\x89PNG";
              }),
         false, RES_OK, ""},
        {With(CH_LUMO, [](SRequest& r) { r.m_sImage = "\x89PNG"; }), false, RES_OK, ""},
        {Mail(20, 1), false, RES_OK, ""},
        {Mail(3, 4194303 / 3), false, RES_OK, ""},
        {Mail(1, 0), false, RES_OK, ""},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_vecAttachments = {{"\xb2\xe2.txt", "gbk name"}, {"..", ""}};
              }),
         false, RES_OK, ""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const SCheck oCheck = Check(kRows[i].m_oReq, kRows[i].m_bRequireKey);
        ASSERT_TRUE(oCheck.m_bDone) << "row " << i;
        EXPECT_EQ(oCheck.m_eResult, kRows[i].m_eResult) << "row " << i << ": " << oCheck.m_sWhy;
        EXPECT_NE(oCheck.m_sWhy.find(kRows[i].m_szWhy), std::string::npos)
            << "row " << i << ": " << oCheck.m_sWhy;
        if (kRows[i].m_eResult == RES_OK) {
            EXPECT_EQ(oCheck.m_sWhy, "") << "row " << i;
            EXPECT_FALSE(oCheck.m_oMessage.m_vecReceivers.empty()) << "row " << i;
        }
    }
}

// A key fills only the fields the request leaves empty, each on its own.
TEST(RelaydIntakeCheck, KeyDefaultsFillOnlyEmptyFields) {
    struct SRow {
        SRequest m_oReq;
        std::vector<std::string> m_vecReceivers;
        std::vector<std::string> m_vecCc;
        const char* m_szTitle;
    } const kRows[] = {
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sKeyId = "all";
                  r.m_sReceivers = "";
                  r.m_sTitle = "";
              }),
         {"kalice", "kbob"},
         {"kcarol"},
         "Key subject"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sKeyId = "all";
                  r.m_sReceivers = "dave";
                  r.m_sTitle = "";
              }),
         {"dave"},
         {"kcarol"},
         "Key subject"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sKeyId = "all";
                  r.m_sCc = "erin;";
              }),
         {"alice"},
         {"erin"},
         "Title"},
        {With(CH_MAIL,
              [](SRequest& r) {
                  r.m_sReceivers = "dave";
                  r.m_sCc = "";
                  r.m_sTitle = "";
              }),
         {"dave"},
         {},
         ""},
        {With(CH_ZEPH,
              [](SRequest& r) {
                  r.m_sKeyId = "all";
                  r.m_sTitle = "Mine";
              }),
         {"alice"},
         {},
         "Mine"},
        {With(CH_ZEPH,
              [](SRequest& r) {
                  r.m_sKeyId = "all";
                  r.m_sReceivers = "";
              }),
         {"kalice", "kbob"},
         {},
         "Title"},
        // An sms request carries a title field, which the client leaves empty.
        {With(CH_SMS, [](SRequest& r) { r.m_sKeyId = "all"; }), {"alice"}, {}, "Key subject"},
        // A lumo request has neither title nor cc.
        {With(CH_LUMO, [](SRequest& r) { r.m_sKeyId = "all"; }), {"alice"}, {}, ""},
        {With(CH_SMS,
              [](SRequest& r) {
                  r.m_sKeyId = "zephsms";
                  r.m_sReceivers = "";
              }),
         {"z"},
         {},
         ""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const SCheck oCheck = Check(kRows[i].m_oReq);
        ASSERT_TRUE(oCheck.m_bDone) << "row " << i;
        ASSERT_EQ(oCheck.m_eResult, RES_OK) << "row " << i << ": " << oCheck.m_sWhy;
        EXPECT_EQ(oCheck.m_oMessage.m_vecReceivers, kRows[i].m_vecReceivers) << "row " << i;
        EXPECT_EQ(oCheck.m_oMessage.m_vecCc, kRows[i].m_vecCc) << "row " << i;
        EXPECT_EQ(oCheck.m_oMessage.m_sTitle, kRows[i].m_szTitle) << "row " << i;
    }
}

// The bulk of an accepted request (attachment data, image) moves into the record: the
// record holds the very buffers the request held, not copies of them.
TEST(RelaydIntakeCheck, AcceptedBytesMoveIntoTheRecord) {
    SRequest oMail = Mail(2, 4096);
    const char* aData[] = {oMail.m_vecAttachments[0].m_sData.data(),
                           oMail.m_vecAttachments[1].m_sData.data()};
    SRequest oLumo = ValidRequest(CH_LUMO);
    oLumo.m_sImage = std::string(4096, 'i');
    const char* pImage = oLumo.m_sImage.data();
    const SCheck oMailCheck = Check(std::move(oMail));
    const SCheck oLumoCheck = Check(std::move(oLumo));
    ASSERT_EQ(oMailCheck.m_eResult, RES_OK) << oMailCheck.m_sWhy;
    ASSERT_EQ(oLumoCheck.m_eResult, RES_OK) << oLumoCheck.m_sWhy;
    ASSERT_EQ(oMailCheck.m_oMessage.m_vecAttachments.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(oMailCheck.m_oMessage.m_vecAttachments[i].m_sData.data(), aData[i]) << i;
        EXPECT_EQ(oMailCheck.m_oMessage.m_vecAttachments[i].m_sData, std::string(4096, 'x')) << i;
    }
    EXPECT_EQ(oLumoCheck.m_oMessage.m_sImage.data(), pImage);
    EXPECT_EQ(oLumoCheck.m_oMessage.m_ddwImageSize, 4096u);
}

TEST(RelaydIntakeCheck, AcceptedRequestsBecomeTheRecord) {
    SRequest oMail = ValidRequest(CH_MAIL);
    oMail.m_sKeyId = "mailonly";
    oMail.m_sReceivers = "a;;b";
    oMail.m_sCc = "c";
    oMail.m_vecAttachments = {{"notes.txt", "abc"}, {"empty", ""}};
    relayd::SMessage oMessage;
    oMessage.m_llId = 77;
    oMessage.m_sPeer = "127.0.0.1:1";
    PKG_RESULT eResult = RES_INVALID_PARAM;
    std::string sWhy;
    std::string sErrMsg;
    ASSERT_TRUE(
        relayd::CheckRequest(SRequest(oMail), TestKeys(), false, oMessage, eResult, sWhy, sErrMsg));
    ASSERT_EQ(eResult, RES_OK) << sWhy;
    EXPECT_EQ(oMessage.m_eChannel, CH_MAIL);
    EXPECT_EQ(oMessage.m_dwTimestamp, 1796631889u);
    EXPECT_EQ(oMessage.m_sKeyId, "mailonly");
    EXPECT_EQ(oMessage.m_sSender, "qem_mail");
    EXPECT_EQ(oMessage.m_vecReceivers, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(oMessage.m_vecCc, std::vector<std::string>{"c"});
    EXPECT_EQ(oMessage.m_sTitle, "Title");
    EXPECT_EQ(oMessage.m_sContent, "hello");
    ASSERT_EQ(oMessage.m_vecAttachments.size(), 2u);
    EXPECT_EQ(oMessage.m_vecAttachments[0].m_dwIndex, 0u);
    EXPECT_EQ(oMessage.m_vecAttachments[0].m_sName, "notes.txt");
    EXPECT_EQ(oMessage.m_vecAttachments[0].m_ddwSize, 3u);
    EXPECT_EQ(oMessage.m_vecAttachments[0].m_sSha256Hex,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(oMessage.m_vecAttachments[0].m_sData, "abc");
    EXPECT_EQ(oMessage.m_vecAttachments[1].m_dwIndex, 1u);
    EXPECT_EQ(oMessage.m_vecAttachments[1].m_ddwSize, 0u);
    EXPECT_EQ(oMessage.m_vecAttachments[1].m_sSha256Hex,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(oMessage.m_ddwImageSize, 0u);
    // What intake's caller owns is left alone.
    EXPECT_EQ(oMessage.m_llId, 77);
    EXPECT_EQ(oMessage.m_sPeer, "127.0.0.1:1");

    SRequest oLumo = ValidRequest(CH_LUMO);
    oLumo.m_sImage = std::string("\x89PNG\0\x01", 6);
    ASSERT_TRUE(
        relayd::CheckRequest(SRequest(oLumo), TestKeys(), false, oMessage, eResult, sWhy, sErrMsg));
    ASSERT_EQ(eResult, RES_OK) << sWhy;
    EXPECT_EQ(oMessage.m_eChannel, CH_LUMO);
    EXPECT_EQ(oMessage.m_sImage, oLumo.m_sImage);
    EXPECT_EQ(oMessage.m_ddwImageSize, 6u);
    EXPECT_TRUE(oMessage.m_vecAttachments.empty());
    EXPECT_TRUE(oMessage.m_vecCc.empty());
    EXPECT_EQ(oMessage.m_sTitle, "");
}

// Every receiver list the client lets through is taken, every other one refused with 2.
TEST(RelaydIntakeCheck, ReceiverRuleMatchesTheClient) {
    std::vector<std::string> vecLists = {"alice", "a;;b;", "Bob_9-x", "a b", "a.b", "a@b"};
    for (int c = 0; c < 256; ++c) {
        vecLists.push_back("x" + std::string(1, static_cast<char>(c)));
    }
    for (size_t i = 0; i < vecLists.size(); ++i) {
        for (const relay_proto::CHANNEL eChannel : {CH_MAIL, CH_ZEPH, CH_LUMO, CH_SMS}) {
            const SRequest oReq =
                With(eChannel, [&](SRequest& r) { r.m_sReceivers = vecLists[i]; });
            const SCheck oCheck = Check(oReq);
            EXPECT_EQ(oCheck.m_eResult,
                      CheckNameListValidity(vecLists[i]) ? RES_OK : RES_INVALID_PARAM)
                << "row " << i << " '" << relayd::QuoteForLog(vecLists[i]) << "' on "
                << relay_proto::ChannelName(eChannel);
        }
    }
}

// Keys registered over HTTP live in the store; a key of the file shadows a stored key of
// the same id; a revoked stored key refuses its requests.
TEST(RelaydKeyRing, AsksTheStoreAfterTheFile) {
    test_support::CTempDir oDir;
    std::string sErrMsg;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(oDir.Path() + "/keys.db", sErrMsg);
    ASSERT_TRUE(pStore) << sErrMsg;
    relayd::SKey oApi = Key("api", {"sa"});
    relayd::SKey oShared = Key("shared", {"from-store"});
    relayd::SKey oGone = Key("gone", {"sg"});
    for (relayd::SKey* pKey : {&oApi, &oShared, &oGone}) {
        pKey->m_eSource = relayd::KS_API;
        relayd::CHANGE_RESULT eResult = relayd::CR_CONFLICT;
        ASSERT_TRUE(pStore->InsertKey(*pKey, eResult, sErrMsg)) << sErrMsg;
        ASSERT_EQ(eResult, relayd::CR_DONE);
    }
    relayd::CHANGE_RESULT eResult = relayd::CR_CONFLICT;
    ASSERT_TRUE(pStore->RevokeKey("gone", eResult, sErrMsg)) << sErrMsg;
    const relayd::CKeyRing oRing({Key("shared", {"from-file"})}, pStore.get());

    struct SRow {
        const char* m_szId;
        PKG_RESULT m_eResult;
        const char* m_szReceiver;  // the receiver the key filled in, or the reason
    } const kRows[] = {
        {"api", RES_OK, "sa"},
        {"shared", RES_OK, "from-file"},
        {"gone", RES_KEY_REJECTED, "key 'gone' is revoked"},
        {"nokey", RES_KEY_REJECTED, "key 'nokey' is unknown"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        SRequest oReq = ValidRequest(CH_SMS);
        oReq.m_sKeyId = kRows[i].m_szId;
        oReq.m_sReceivers = "";
        relayd::SMessage oMessage;
        PKG_RESULT eVerdict = RES_INVALID_PARAM;
        std::string sWhy;
        ASSERT_TRUE(
            relayd::CheckRequest(std::move(oReq), oRing, false, oMessage, eVerdict, sWhy, sErrMsg))
            << "row " << i << ": " << sErrMsg;
        EXPECT_EQ(eVerdict, kRows[i].m_eResult) << "row " << i << ": " << sWhy;
        if (eVerdict == RES_OK) {
            EXPECT_EQ(oMessage.m_vecReceivers, std::vector<std::string>{kRows[i].m_szReceiver})
                << "row " << i;
        } else {
            EXPECT_EQ(sWhy, kRows[i].m_szReceiver) << "row " << i;
        }
    }
}

// --- The refusal log ------------------------------------------------------------------------

// A key looked up once per batch: later lookups of the same id, found or not, are
// answered without asking again; a failed lookup is asked again.
TEST(RelaydBatchKeys, EachIdAskedOncePerBatchButFailuresAgain) {
    struct CCountingKeys : relayd::IKeyLookup {
        bool Find(const std::string& sId, relayd::SKey& oKey, bool& bFound,
                  std::string& sErrMsg) const override {
            ++m_nAsked;
            if (sId == "broken" && m_nAsked < 5) {
                sErrMsg = "store down";
                return false;
            }
            bFound = sId != "unknown";
            oKey = Key(sId);
            return true;
        }
        mutable int m_nAsked = 0;
    };
    struct SRow {
        const char* szId;
        bool bOk;
        bool bFound;
        int nAskedAfter;
    };
    const SRow aRows[] = {
        {"a", true, true, 1},        {"a", true, true, 1},        {"unknown", true, false, 2},
        {"unknown", true, false, 2}, {"broken", false, false, 3}, {"broken", false, false, 4},
        {"broken", true, true, 5},   {"broken", true, true, 5},   {"b", true, true, 6},
    };
    const CCountingKeys oKeys;
    const relayd::CBatchKeys oBatch(oKeys);
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const SRow& oRow = aRows[i];
        relayd::SKey oKey;
        bool bFound = false;
        std::string sErr;
        EXPECT_EQ(oBatch.Find(oRow.szId, oKey, bFound, sErr), oRow.bOk) << "row " << i;
        if (oRow.bOk) {
            EXPECT_EQ(bFound, oRow.bFound) << "row " << i;
            EXPECT_EQ(oKey.m_sId, bFound ? oRow.szId : "") << "row " << i;
        }
        EXPECT_EQ(oKeys.m_nAsked, oRow.nAskedAfter) << "row " << i;
    }
}

TEST(RelaydRefusalLog, TenLinesASecondThenTheCountLeftOut) {
    std::vector<std::string> vecLines;
    relayd::CRefusalLog oLog([&](const std::string& sLine) { vecLines.push_back(sLine); });
    oLog.Refused(5000, "10.0.0.7:53422", CH_SMS, 2, "receivers 'a b' hold a byte not allowed");
    ASSERT_EQ(1u, vecLines.size());
    EXPECT_EQ("refused 10.0.0.7:53422 sms result 2: receivers 'a b' hold a byte not allowed",
              vecLines[0]);
    for (int i = 0; i < 24; ++i) {
        oLog.Refused(5000 + i * 10, "[::1]:1", CH_MAIL, 1, "address not in allow");
    }
    EXPECT_EQ(10u, vecLines.size()) << "ten lines in the second from 5000 ms";
    oLog.Refused(5999, "[::1]:1", CH_MAIL, 1, "address not in allow");
    EXPECT_EQ(10u, vecLines.size());
    // The next second starts with the count of the 16 left out, then the line.
    oLog.Refused(6000, "[::1]:2", CH_LUMO, 5, "key 'k' is unknown");
    ASSERT_EQ(12u, vecLines.size());
    EXPECT_EQ("16 refusal lines left out", vecLines[10]);
    EXPECT_EQ("refused [::1]:2 lumo result 5: key 'k' is unknown", vecLines[11]);
    oLog.Refused(6001, "[::1]:2", CH_LUMO, 4, "x");
    EXPECT_EQ(13u, vecLines.size()) << "no count when nothing was left out";
}

}  // namespace
