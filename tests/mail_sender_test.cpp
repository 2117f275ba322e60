// The SMTP sender against a real SMTP server (tests/peers/smtp_peer.py): what arrives is
// read back with Python's email package and compared field by field.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "relayd/config/config.h"
#include "relayd/delivery/smtp_sender.h"
#include "relayd/record/text_codec.h"
#include "tests/peer_process.h"

namespace {

using nlohmann::json;
using relayd::SMessage;
using test_support::CPeerProcess;

const int64_t kTimeoutMs = 5000;

struct SAttach {
    std::string sName;
    std::string sData;
};

SMessage MakeMail(const std::string& sTitle, const std::string& sContent,
                  const std::vector<SAttach>& vecAttach = {}) {
    SMessage oMessage;
    oMessage.m_llId = 17;
    oMessage.m_eChannel = relay_proto::CH_MAIL;
    oMessage.m_llReceivedAtMs = 1796631889123LL;
    oMessage.m_sSender = "qem_mail";
    oMessage.m_vecReceivers = {"alice", "bob"};
    oMessage.m_vecCc = {"carol"};
    oMessage.m_sTitle = sTitle;
    oMessage.m_sContent = sContent;
    for (size_t i = 0; i < vecAttach.size(); ++i) {
        relayd::SAttachment oAttach;
        oAttach.m_dwIndex = static_cast<uint32_t>(i);
        oAttach.m_sName = vecAttach[i].sName;
        oAttach.m_sData = vecAttach[i].sData;
        oAttach.m_ddwSize = vecAttach[i].sData.size();
        oMessage.m_vecAttachments.push_back(oAttach);
    }
    return oMessage;
}

relayd::SConfig MailConfig(const std::string& sUrl) {
    relayd::SConfig oConfig;
    oConfig.m_oMail.m_sSmtp = sUrl;
    oConfig.m_oMail.m_sFrom = "relay@example.org";
    oConfig.m_oMail.m_sDomain = "example.com";
    return oConfig;
}

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) {
        s += static_cast<char>(i);
    }
    return s;
}

std::string Repeat(const std::string& s, int n) {
    std::string sOut;
    for (int i = 0; i < n; ++i) {
        sOut += s;
    }
    return sOut;
}

// Every header line of the raw message's top-level header section.
std::vector<std::string> RawHeaderLines(const json& oEvent) {
    std::string sRaw;
    const std::string sB64 = oEvent.value("raw_base64", "");
    // Decode through the same peer-independent route a reader would: Python already
    // gave header_names; here only line lengths matter, so split the base64-decoded bytes.
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t dwBits = 0;
    int nBits = 0;
    for (const char c : sB64) {
        const size_t nValue = kAlphabet.find(c);
        if (nValue == std::string::npos) {
            continue;
        }
        dwBits = (dwBits << 6) | static_cast<uint32_t>(nValue);
        nBits += 6;
        if (nBits >= 8) {
            nBits -= 8;
            sRaw += static_cast<char>((dwBits >> nBits) & 0xFF);
        }
    }
    std::vector<std::string> vecLines;
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = sRaw.find("\r\n", nStart);
        if (nEnd == std::string::npos || nEnd == nStart) {
            break;  // the blank line ends the header section
        }
        vecLines.push_back(sRaw.substr(nStart, nEnd - nStart));
        nStart = nEnd + 2;
    }
    return vecLines;
}

class MailSenderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_oPeer.Start()); }

    CPeerProcess m_oPeer{CPeerProcess::PK_SMTP};
};

// Whatever the title, body and attachment names hold, the message arrives exactly, with
// the same header fields and the same recipients.
TEST_F(MailSenderTest, ArrivesExactlyWithNoInjectedHeaderOrRecipient) {
    const std::string kLongChinese = Repeat("汉字标题测试，", 30);
    const std::vector<std::string> kHeaderNames = {"Cc",      "Content-Type", "Date",
                                                   "From",    "MIME-Version", "Message-ID",
                                                   "Subject", "To",           "X-Fanout-Id"};
    const struct {
        std::string sTitle;
        std::string sContent;
        std::vector<SAttach> vecAttach;
        bool bTitleIsText;  // valid UTF-8: compared exactly
    } aRows[] = {
        {"Build ok", "all green\n", {{"notes.txt", "seventeen bytes!\n"}}, true},
        {"构建成功：版本 1.3 已发布",
         "第一行\r\n第二行\n\n— 结束",
         {{"报告.txt", "中文内容"}, {Repeat("很长的附件名称", 8) + ".bin", AllBytes()}},
         true},
        {"hi\r\nBcc: mallory@example.net", "body", {}, true},
        {"hi\nBcc: mallory@example.net\n\nfake body", "body", {}, true},
        {std::string("hi\0Bcc: mallory@example.net", 27), "body", {}, true},
        {"\r\n.\r\nRCPT TO:<mallory@example.net>", "x", {}, true},
        {"=?UTF-8?B?YWJj?=", "looks encoded, is not", {}, true},
        {"  leading and  double spaces ", "", {}, true},
        {kLongChinese, Repeat("长正文 ", 5000), {}, true},
        // GBK bytes that are not UTF-8: intake refuses them, the sender must still be safe.
        {"\xB9\xB9\xBD\xA8\r\nBcc: mallory@example.net", "x", {}, false},
        {"names",
         "x",
         {{"a\r\nContent-Type: text/html; x=\".txt", "one"},
          {"quote\"and\\backslash.txt", "two"},
          {"tab\tand;semi=colon.txt", "three"}},
         true},
    };
    relayd::CSmtpSender oSender(MailConfig(m_oPeer.Url()), nullptr);
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const auto& oRow = aRows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": title " +
                     json(oRow.sTitle).dump(-1, ' ', false, json::error_handler_t::replace));
        const SMessage oMessage = MakeMail(oRow.sTitle, oRow.sContent, oRow.vecAttach);
        const relayd::SAttemptResult oResult = oSender.Send(oMessage, kTimeoutMs);
        EXPECT_EQ(oResult.m_eOutcome, relayd::OC_DELIVERED) << oResult.m_sDetail;
        EXPECT_EQ(oResult.m_sDetail.substr(0, 4), "250 ") << oResult.m_sDetail;
        const json oEvent = m_oPeer.NextEvent();
        ASSERT_TRUE(oEvent.is_object());
        EXPECT_FALSE(oEvent.contains("parse_error")) << oEvent.dump();
        EXPECT_EQ(oEvent["mail_from"], "relay@example.org");
        EXPECT_EQ(oEvent["rcpt_tos"],
                  json({"alice@example.com", "bob@example.com", "carol@example.com"}));
        std::vector<std::string> vecNames = oEvent["header_names"];
        std::sort(vecNames.begin(), vecNames.end());
        EXPECT_EQ(vecNames, kHeaderNames);
        EXPECT_EQ(oEvent["from"], json({"relay@example.org"}));
        EXPECT_EQ(oEvent["to"], json({"alice@example.com", "bob@example.com"}));
        EXPECT_EQ(oEvent["cc"], json({"carol@example.com"}));
        EXPECT_EQ(oEvent["x_fanout_id"], "17");
        EXPECT_EQ(oEvent["date"], "Mon, 07 Dec 2026 08:24:49 +0000");
        EXPECT_EQ(oEvent["message_id"], "<fanout.17.1796631889123@example.org>");
        EXPECT_EQ(oEvent["defects"], json::array());
        if (oRow.bTitleIsText) {
            EXPECT_EQ(oEvent["subject"], oRow.sTitle);
        }
        EXPECT_EQ(oEvent["body_type"], "text/plain");
        EXPECT_EQ(oEvent["body_charset"], "utf-8");
        EXPECT_EQ(oEvent["body"], oRow.sContent);
        ASSERT_EQ(oEvent["attachments"].size(), oRow.vecAttach.size());
        for (size_t a = 0; a < oRow.vecAttach.size(); ++a) {
            const json& oAttach = oEvent["attachments"][a];
            EXPECT_EQ(oAttach["filename"], oRow.vecAttach[a].sName) << "attachment " << a;
            EXPECT_EQ(oAttach["data_base64"], relayd::Base64(oRow.vecAttach[a].sData))
                << "attachment " << a;
        }
        for (const std::string& sLine : RawHeaderLines(oEvent)) {
            // The lines this sender writes stay within 78 characters (the boundary line
            // libcurl writes is a little longer), every line within 998.
            EXPECT_LE(sLine.size(), sLine.rfind("Content-Type:", 0) == 0 ? 998u : 78u) << sLine;
        }
    }
}

// The server's answer decides the outcome; the record keeps its reply line.
TEST_F(MailSenderTest, ReplyCodeDecidesOutcome) {
    const struct {
        const char* szScript;  // peer command before the attempt, "" for none
        relayd::OUTCOME eOutcome;
        const char* szDetailStart;
    } aRows[] = {
        {"", relayd::OC_DELIVERED, "250 2.0.0 Ok"},
        {"reply 451", relayd::OC_RETRY, "451 4.3.0 Try again later"},
        {"reply 550", relayd::OC_FAILED, "550 5.7.1 Rejected by policy"},
        {"reply 552", relayd::OC_FAILED, "552 "},
        {"stall 3", relayd::OC_RETRY, "no answer within 1000 ms"},
        // The late answer to the attempt cut off must not be taken for this one's.
        {"reply 550", relayd::OC_FAILED, "550 5.7.1 Rejected by policy"},
        {"", relayd::OC_DELIVERED, "250 2.0.0 Ok"},
    };
    relayd::CSmtpSender oSender(MailConfig(m_oPeer.Url()), nullptr);
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ": " + aRows[i].szScript);
        if (aRows[i].szScript[0] != '\0') {
            ASSERT_TRUE(m_oPeer.Command(aRows[i].szScript));
        }
        const relayd::SAttemptResult oResult = oSender.Send(MakeMail("t", "c"), 1000);
        EXPECT_EQ(oResult.m_eOutcome, aRows[i].eOutcome) << oResult.m_sDetail;
        EXPECT_EQ(oResult.m_sDetail.rfind(aRows[i].szDetailStart, 0), 0u) << oResult.m_sDetail;
        // A stalled peer never gets to see its message end: the sender closes the
        // connection of an attempt whose time is up.
        if (std::string(aRows[i].szScript).rfind("stall", 0) != 0) {
            EXPECT_TRUE(m_oPeer.NextEvent().is_object());
        }
    }
}

// A password never travels in clear: to a server that offers AUTH but no STARTTLS, the
// attempt fails before any login, is retried, and says why; without a password the same
// server takes the mail.
TEST(MailSenderTlsTest, PasswordNeedsStartTls) {
    const struct {
        const char* szUser;      // the URL's userinfo
        const char* szPassword;  // the password given apart ([mail] password_file)
        bool bSendsPassword;
    } aRows[] = {
        {"relay:PW-IN-URL@", "", true},
        {"relay@", "PW-FROM-FILE", true},
        {"", "", false},
    };
    for (const auto& oRow : aRows) {
        SCOPED_TRACE(std::string(oRow.szUser) + " " + oRow.szPassword);
        CPeerProcess oPeer{CPeerProcess::PK_SMTP};
        ASSERT_TRUE(oPeer.Start({"--auth"}));
        const std::string sUrl = oPeer.Url();
        relayd::SConfig oConfig =
            MailConfig("smtp://" + std::string(oRow.szUser) + sUrl.substr(sUrl.find("://") + 3));
        oConfig.m_oMail.m_sPassword = oRow.szPassword;
        relayd::CSmtpSender oSender(oConfig, nullptr);
        const relayd::SAttemptResult oResult = oSender.Send(MakeMail("t", "c"), kTimeoutMs);
        if (oRow.bSendsPassword) {
            EXPECT_EQ(oResult.m_eOutcome, relayd::OC_RETRY) << oResult.m_sDetail;
            EXPECT_NE(oResult.m_sDetail.find("offers no STARTTLS"), std::string::npos)
                << oResult.m_sDetail;
            oPeer.Kill();
            for (json oEvent = oPeer.NextEvent(500); oEvent.is_object();
                 oEvent = oPeer.NextEvent(500)) {
                EXPECT_NE(oEvent.value("event", ""), "auth") << oEvent.dump();
                EXPECT_NE(oEvent.value("event", ""), "message") << oEvent.dump();
            }
        } else {
            EXPECT_EQ(oResult.m_eOutcome, relayd::OC_DELIVERED) << oResult.m_sDetail;
        }
    }
}

// No server: a retry that says why, quickly.
TEST_F(MailSenderTest, NoServerIsRetry) {
    const std::string sUrl = m_oPeer.Url();
    m_oPeer.Kill();
    relayd::CSmtpSender oSender(MailConfig(sUrl), nullptr);
    const relayd::SAttemptResult oResult = oSender.Send(MakeMail("t", "c"), kTimeoutMs);
    EXPECT_EQ(oResult.m_eOutcome, relayd::OC_RETRY);
    EXPECT_NE(oResult.m_sDetail.find("onnect"), std::string::npos) << oResult.m_sDetail;
}

// A receiver name that cannot be an address fails at once, without a transfer.
TEST_F(MailSenderTest, UnmailableReceiverFails) {
    SMessage oMessage = MakeMail("t", "c");
    oMessage.m_vecCc = {"carol>,<mallory@example.net"};
    relayd::CSmtpSender oSender(MailConfig(m_oPeer.Url()), nullptr);
    const relayd::SAttemptResult oResult = oSender.Send(oMessage, kTimeoutMs);
    EXPECT_EQ(oResult.m_eOutcome, relayd::OC_FAILED);
    EXPECT_EQ(m_oPeer.Count().value("received", -1), 0);
}

}  // namespace
