// What the HTTP side takes apart and builds without a socket: ids, list queries, key
// registrations, download headers, image types, tokens and addresses.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "relayd/http/http_files.h"
#include "relayd/http/http_guard.h"
#include "relayd/http/http_parse.h"

namespace {

using relayd::ID_BAD;
using relayd::ID_NO_SUCH;
using relayd::ID_OK;

TEST(RelaydHttpParseTest, MessageIds) {
    const struct {
        const char* szText;
        relayd::ID_PARSE eExpected;
        int64_t llId;
    } kRows[] = {
        {"1", ID_OK, 1},
        {"17", ID_OK, 17},
        {"0017", ID_OK, 17},
        {"9223372036854775807", ID_OK, INT64_MAX},
        {"9223372036854775808", ID_NO_SUCH, 0},
        {"99999999999999999999999", ID_NO_SUCH, 0},
        {"0", ID_NO_SUCH, 0},
        {"", ID_BAD, 0},
        {"-1", ID_BAD, 0},
        {"+1", ID_BAD, 0},
        {"1x", ID_BAD, 0},
        {" 1", ID_BAD, 0},
        {"1.0", ID_BAD, 0},
        {"0x10", ID_BAD, 0},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        int64_t llId = 0;
        EXPECT_EQ(kRows[i].eExpected, relayd::ParseMessageId(kRows[i].szText, llId))
            << "row " << i << ": \"" << kRows[i].szText << "\"";
        if (kRows[i].eExpected == ID_OK) {
            EXPECT_EQ(kRows[i].llId, llId) << "row " << i;
        }
    }
    uint32_t dwIndex = 9;
    EXPECT_EQ(ID_OK, relayd::ParseAttachmentIndex("0", dwIndex));
    EXPECT_EQ(0u, dwIndex);
    EXPECT_EQ(ID_OK, relayd::ParseAttachmentIndex("4294967295", dwIndex));
    EXPECT_EQ(4294967295u, dwIndex);
    EXPECT_EQ(ID_NO_SUCH, relayd::ParseAttachmentIndex("4294967296", dwIndex));
    EXPECT_EQ(ID_BAD, relayd::ParseAttachmentIndex("a", dwIndex));
}

TEST(RelaydHttpParseTest, ListRequests) {
    typedef std::multimap<std::string, std::string> PARAMS;
    const struct {
        PARAMS mapParams;
        bool bOk;
        const char* szExpected;  // channel/status/receiver/q/limit/offset/waitms, or the error
    } kRows[] = {
        {{}, true, "*/*///50/0/0"},
        {{{"channel", "mail"}, {"status", "failed"}}, true, "mail/failed///50/0/0"},
        {{{"channel", ""}, {"status", ""}}, true, "*/*///50/0/0"},
        {{{"receiver", "bob"}, {"q", "报告 50%"}}, true, "*/*/bob/报告 50%/50/0/0"},
        {{{"limit", "0"}, {"offset", "4294967295"}}, true, "*/*///0/4294967295/0"},
        {{{"limit", "500"}, {"wait", "2"}}, true, "*/*///500/0/2000"},
        {{{"wait", "31"}}, true, "*/*///50/0/30000"},
        {{{"wait", "99999999999"}}, true, "*/*///50/0/30000"},
        {{{"wait", "99999999999999999999999"}}, true, "*/*///50/0/30000"},
        {{{"_", "123"}}, true, "*/*///50/0/0"},  // a cache-buster is ignored
        {{{"channel", "fax"}}, false, "channel must be mail, zeph, lumo or sms, not \"fax\""},
        {{{"status", "lost"}}, false, "status must be"},
        {{{"limit", "501"}}, false, "limit must be a whole number from 0 to 500"},
        {{{"limit", "-1"}}, false, "limit must be"},
        {{{"limit", ""}}, false, "limit must be"},
        {{{"offset", "4294967296"}}, false, "offset must be"},
        {{{"wait", "1.5"}}, false, "wait must be"},
        {{{"channel", "sms"}, {"channel", "mail"}}, false, "parameter channel is given more"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        relayd::SListRequest oRequest;
        std::string sErrMsg;
        const bool bOk = relayd::ParseListRequest(kRows[i].mapParams, oRequest, sErrMsg);
        ASSERT_EQ(kRows[i].bOk, bOk) << "row " << i << ": " << sErrMsg;
        if (!bOk) {
            EXPECT_EQ(0u, sErrMsg.find(kRows[i].szExpected)) << "row " << i << ": " << sErrMsg;
            continue;
        }
        const relayd::SMessageQuery& oQuery = oRequest.m_oQuery;
        const std::string sGot =
            std::string(oQuery.m_bAnyChannel ? "*" : relay_proto::ChannelName(oQuery.m_eChannel)) +
            "/" + (oQuery.m_bAnyStatus ? "*" : relayd::StatusName(oQuery.m_eStatus)) + "/" +
            oQuery.m_sReceiver + "/" + oQuery.m_sText + "/" + std::to_string(oQuery.m_dwLimit) +
            "/" + std::to_string(oQuery.m_dwOffset) + "/" + std::to_string(oRequest.m_llWaitMs);
        EXPECT_EQ(kRows[i].szExpected, sGot) << "row " << i;
    }
}

// The key's fields as "id|receivers|cc|subject|channels".
std::string KeyText(const relayd::SKey& oKey) {
    std::string sText = oKey.m_sId + "|";
    for (const std::string& sName : oKey.m_vecReceivers) {
        sText += sName + ",";
    }
    sText += "|";
    for (const std::string& sName : oKey.m_vecCc) {
        sText += sName + ",";
    }
    sText += "|" + oKey.m_sSubject + "|";
    for (relay_proto::CHANNEL eChannel : oKey.m_vecChannels) {
        sText += std::string(relay_proto::ChannelName(eChannel)) + ",";
    }
    return sText;
}

TEST(RelaydHttpParseTest, KeyRegistrations) {
    const struct {
        const char* szBody;
        bool bOk;
        const char* szExpected;  // KeyText, or the start of the error
    } kRows[] = {
        {R"({})", true, "||||"},
        {R"({"id": "ops.team-1_a", "receivers": "alice;bob", "cc": "carol", "subject": "日报",
             "channels": ["sms", "mail", "sms"]})",
         true, "ops.team-1_a|alice,bob,|carol,|日报|mail,sms,"},
        {R"({"receivers": ";;alice;;", "cc": [], "channels": []})", true, "|alice,|||"},
        {R"({"receivers": ["a-1", "B_2"], "cc": null, "subject": null})", true, "|a-1,B_2,|||"},
        {R"([])", false, "the body must be a JSON object"},
        {R"({"receivers": )", false, "the body must be a JSON object"},
        {"{\"subject\": \"\xff\"}", false, "the body must be a JSON object"},
        {R"({"id": ""})", false, "id must be"},
        {R"({"id": "a/b"})", false, "id must be"},
        {R"({"id": 5})", false, "id must be"},
        {R"({"receivers": "alice bob"})", false, "receivers: \"alice bob\" is not a name"},
        {R"({"receivers": "al<ice"})", false, "receivers: \"al<ice\" is not a name"},
        {R"({"receivers": ["a;b"]})", false, "receivers: \"a;b\" is not a name"},
        {R"({"receivers": [""]})", false, "receivers: \"\" is not a name"},
        {R"({"receivers": [1]})", false, "receivers must hold only strings"},
        {R"({"cc": 3})", false, "cc must be a string"},
        {R"({"subject": ["x"]})", false, "subject must be a string"},
        {R"({"subject": "a\u0000b"})", false, "subject must be at most"},
        {R"({"channels": "sms"})", false, "channels must be an array"},
        {R"({"channels": ["fax"]})", false, "channels: \"fax\" is not"},
        {R"({"receiver": "bob"})", false, "unknown field \"receiver\""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        relayd::SKey oKey;
        bool bIdGiven = false;
        std::string sErrMsg;
        const bool bOk = relayd::ParseKeyRequest(kRows[i].szBody, oKey, bIdGiven, sErrMsg);
        ASSERT_EQ(kRows[i].bOk, bOk) << "row " << i << ": " << kRows[i].szBody << " " << sErrMsg;
        if (bOk) {
            EXPECT_EQ(kRows[i].szExpected, KeyText(oKey)) << "row " << i;
            EXPECT_EQ(!oKey.m_sId.empty(), bIdGiven) << "row " << i;
            EXPECT_EQ(relayd::KS_API, oKey.m_eSource) << "row " << i;
        } else {
            EXPECT_EQ(0u, sErrMsg.find(kRows[i].szExpected)) << "row " << i << ": " << sErrMsg;
        }
    }
    EXPECT_TRUE(relayd::IsValidKeyId(std::string(128, 'k')));
    EXPECT_FALSE(relayd::IsValidKeyId(std::string(129, 'k')));
}

TEST(RelaydHttpParseTest, ContentDispositionNeverBreaksTheHeader) {
    const struct {
        std::string sName;
        const char* szExpected;
    } kRows[] = {
        {"notes.txt", "attachment; filename=\"notes.txt\"; filename*=UTF-8''notes.txt"},
        {"报告.txt",
         "attachment; filename=\"______.txt\"; filename*=UTF-8''%E6%8A%A5%E5%91%8A.txt"},
        {"a\"b\\c;d%e f.txt",
         "attachment; filename=\"a_b_c_d_e f.txt\"; filename*=UTF-8''a%22b%5Cc%3Bd%25e%20f.txt"},
        {"x\r\nSet-Cookie: a=b",
         "attachment; filename=\"x__Set-Cookie: a=b\"; "
         "filename*=UTF-8''x%0D%0ASet-Cookie%3A%20a%3Db"},
        {"<script>.html",
         "attachment; filename=\"<script>.html\"; filename*=UTF-8''%3Cscript%3E.html"},
        {std::string("\xff\x01", 2), "attachment; filename=\"__\"; filename*=UTF-8''%FF%01"},
        {"", "attachment; filename=\"download\"; filename*=UTF-8''download"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sHeader = relayd::ContentDisposition("attachment", kRows[i].sName);
        EXPECT_EQ(kRows[i].szExpected, sHeader) << "row " << i;
        for (unsigned char c : sHeader) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "row " << i << ": byte " << int(c);
        }
    }
}

TEST(RelaydHttpParseTest, ImageTypesBySignature) {
    const struct {
        std::string sData;
        const char* szType;
    } kRows[] = {
        {std::string("\x89PNG\r\n\x1a\n\0\0", 10), "image/png"},
        {"\xff\xd8\xff\xe0rest", "image/jpeg"},
        {"GIF89a...", "image/gif"},
        {"GIF87a", "image/gif"},
        {std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), "image/webp"},
        {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), "application/octet-stream"},
        {"\x89PNG", "application/octet-stream"},
        {"<svg onload=alert(1)>", "application/octet-stream"},
        {"<html>", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_STREQ(kRows[i].szType, relayd::SniffImageType(kRows[i].sData)) << "row " << i;
    }
}

TEST(RelaydHttpParseTest, TokensAndCookies) {
    EXPECT_TRUE(relayd::TokensEqual("s3cret", "s3cret"));
    EXPECT_FALSE(relayd::TokensEqual("s3cres", "s3cret"));
    EXPECT_FALSE(relayd::TokensEqual("s3cret ", "s3cret"));
    EXPECT_FALSE(relayd::TokensEqual("", "s3cret"));

    const struct {
        const char* szHeader;
        bool bOk;
        const char* szToken;
    } kBearer[] = {
        {"Bearer abc", true, "abc"},     {"bearer  abc ", true, "abc"},
        {"BEARER x.y-z", true, "x.y-z"}, {"Basic YWJj", false, ""},
        {"Bearer", false, ""},           {"Bearer ", false, ""},
        {"Bearerabc", false, ""},        {"", false, ""},
    };
    for (size_t i = 0; i < sizeof(kBearer) / sizeof(kBearer[0]); ++i) {
        std::string sToken;
        EXPECT_EQ(kBearer[i].bOk, relayd::BearerToken(kBearer[i].szHeader, sToken)) << "row " << i;
        if (kBearer[i].bOk) {
            EXPECT_EQ(kBearer[i].szToken, sToken) << "row " << i;
        }
    }

    const struct {
        const char* szHeader;
        bool bOk;
        const char* szValue;
    } kCookies[] = {
        {"fanout_token=abc", true, "abc"},
        {"a=1; fanout_token=78%3B79; b=2", true, "78%3B79"},
        {"a=1;fanout_token=7879", true, "7879"},
        {"xfanout_token=abc", false, ""},
        {"fanout_token_2=abc", false, ""},
        {"fanout_token=", true, ""},
        {"", false, ""},
    };
    for (size_t i = 0; i < sizeof(kCookies) / sizeof(kCookies[0]); ++i) {
        std::string sValue;
        EXPECT_EQ(kCookies[i].bOk,
                  relayd::CookieValue(kCookies[i].szHeader, "fanout_token", sValue))
            << "row " << i;
        if (kCookies[i].bOk) {
            EXPECT_EQ(kCookies[i].szValue, sValue) << "row " << i;
        }
    }
}

TEST(RelaydHttpParseTest, HostHeaders) {
    const struct {
        const char* szHost;
        bool bAllowed;
    } kHosts[] = {
        {"127.0.0.1:12464", true},   {"[::1]:12464", true},     {"localhost:12464", true},
        {"LocalHost", true},         {"10.0.0.2", true},        {"evil.example:12464", false},
        {"127.0.0.1.nip.io", false}, {"localhost.evil", false}, {"[::1", false},
    };
    for (size_t i = 0; i < sizeof(kHosts) / sizeof(kHosts[0]); ++i) {
        EXPECT_EQ(kHosts[i].bAllowed, relayd::HostHeaderAllowed(kHosts[i].szHost))
            << "row " << i << ": " << kHosts[i].szHost;
    }
    EXPECT_TRUE(relayd::OriginMatchesHost("http://127.0.0.1:12464", "127.0.0.1:12464"));
    EXPECT_TRUE(relayd::OriginMatchesHost("https://relay.lan", "relay.lan"));
    EXPECT_FALSE(relayd::OriginMatchesHost("http://evil.example", "127.0.0.1:12464"));
    EXPECT_FALSE(relayd::OriginMatchesHost("null", "127.0.0.1:12464"));
    EXPECT_FALSE(relayd::OriginMatchesHost("http://", ""));
}

}  // namespace
