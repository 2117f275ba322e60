// The delivery helpers that need no network: header encodings, addresses, outcome
// classification, back-off and Retry-After, the webhook body's signature.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "relayd/delivery/attempt.h"
#include "relayd/delivery/mail_format.h"
#include "relayd/delivery/retry_plan.h"
#include "relayd/delivery/sender.h"
#include "relayd/delivery/webhook_format.h"
#include "relayd/record/text_codec.h"

namespace {

using namespace relayd;

// Decodes one "=?UTF-8?B?...?=" word with OpenSSL, independently of the encoder.
bool DecodeWord(const std::string& sWord, std::string& sText) {
    const std::string kOpen = "=?UTF-8?B?";
    if (sWord.compare(0, kOpen.size(), kOpen) != 0 || sWord.size() < kOpen.size() + 2 ||
        sWord.compare(sWord.size() - 2, 2, "?=") != 0) {
        return false;
    }
    const std::string sB64 = sWord.substr(kOpen.size(), sWord.size() - kOpen.size() - 2);
    std::string sOut(sB64.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&sOut[0]),
                                  reinterpret_cast<const unsigned char*>(sB64.data()),
                                  static_cast<int>(sB64.size()));
    if (n < 0) {
        return false;
    }
    const size_t nPad = std::count(sB64.end() - std::min<size_t>(2, sB64.size()), sB64.end(), '=');
    sText = sOut.substr(0, static_cast<size_t>(n) - nPad);
    return true;
}

TEST(MailFormat, SubjectHeader) {
    const struct {
        std::string sTitle;
        std::string sExpected;
    } aRows[] = {
        {"Build ok", "Subject: Build ok"},
        {"", "Subject: "},
        {"a", "Subject: a"},
        {std::string(69, 'x'), "Subject: " + std::string(69, 'x')},
        {std::string(70, 'x'), ""},  // encoded: too long for one line
        {"hi\r\nBcc: x@y", "Subject: =?UTF-8?B?aGkNCkJjYzogeEB5?="},
        {"a  b", "Subject: =?UTF-8?B?YSAgYg==?="},
        {" a", "Subject: =?UTF-8?B?IGE=?="},
        {"a ", "Subject: =?UTF-8?B?YSA=?="},
        {"=?x?=", "Subject: =?UTF-8?B?PT94Pz0=?="},
        {"tab\there", "Subject: =?UTF-8?B?dGFiCWhlcmU=?="},
        {"构建", "Subject: =?UTF-8?B?5p6E5bu6?="},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        const std::string sHeader = SubjectHeader(aRows[i].sTitle);
        if (!aRows[i].sExpected.empty()) {
            EXPECT_EQ(sHeader, aRows[i].sExpected) << "row " << i << ": " << aRows[i].sTitle;
        }
        // Whatever the title, no line of the header starts anything but a continuation.
        for (size_t nPos = sHeader.find('\n'); nPos != std::string::npos;
             nPos = sHeader.find('\n', nPos + 1)) {
            ASSERT_LT(nPos + 1, sHeader.size()) << "row " << i;
            EXPECT_EQ(sHeader[nPos + 1], ' ') << "row " << i;
            EXPECT_EQ(sHeader[nPos - 1], '\r') << "row " << i;
        }
        EXPECT_EQ(sHeader.find('\0'), std::string::npos) << "row " << i;
    }
}

// Encoded-words: at most 75 characters, every one splitting between characters, and
// together the text again.
TEST(MailFormat, EncodedWordsSplitBetweenCharacters) {
    const std::string aTexts[] = {
        std::string(200, 'a'),
        "汉字标题测试，汉字标题测试，汉字标题测试，汉字标题测试，汉字标题测试，",
        "😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀",
        "ab汉字c😀d" + std::string(100, '\r'),
        "\xB9\xB9\xBD\xA8\xFF\xFE\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80",
        "",
    };
    for (size_t i = 0; i < sizeof(aTexts) / sizeof(aTexts[0]); ++i) {
        const std::vector<std::string> vecWords = EncodedWords(aTexts[i]);
        std::string sJoined;
        for (const std::string& sWord : vecWords) {
            EXPECT_LE(sWord.size(), kMaxEncodedWord) << "row " << i;
            std::string sText;
            ASSERT_TRUE(DecodeWord(sWord, sText)) << "row " << i << ": " << sWord;
            const unsigned char cLast = static_cast<unsigned char>(sText.back());
            const unsigned char cFirst = static_cast<unsigned char>(sText[0]);
            const bool bValid = aTexts[i][0] != '\xB9';
            if (bValid) {
                EXPECT_NE(cFirst & 0xC0, 0x80) << "row " << i << ": word starts mid-character";
                EXPECT_TRUE(cLast < 0x80 || (cLast & 0xC0) == 0x80) << "row " << i;
            }
            sJoined += sText;
        }
        EXPECT_EQ(sJoined, aTexts[i]) << "row " << i;
    }
}

TEST(MailFormat, DispositionHeader) {
    const struct {
        std::string sName;
        std::string sExpected;
    } aRows[] = {
        {"notes.txt", "Content-Disposition: attachment; filename=\"notes.txt\""},
        {"my notes.txt", "Content-Disposition: attachment; filename=\"my notes.txt\""},
        {"报告.txt",
         "Content-Disposition: attachment;\r\n filename*=UTF-8''%E6%8A%A5%E5%91%8A.txt"},
        {"a\"b", "Content-Disposition: attachment;\r\n filename*=UTF-8''a%22b"},
        {"a\\b", "Content-Disposition: attachment;\r\n filename*=UTF-8''a%5Cb"},
        {"a\r\nX: y", "Content-Disposition: attachment;\r\n filename*=UTF-8''a%0D%0AX%3A%20y"},
        {"50%;x=y'z", "Content-Disposition: attachment; filename=\"50%;x=y'z\""},
        {"50%;x=y'z\xC3",
         "Content-Disposition: attachment;\r\n filename*=UTF-8''50%25%3Bx%3Dy%27z%C3"},
        {std::string(41, 'n'),
         "Content-Disposition: attachment;\r\n filename*=UTF-8''" + std::string(41, 'n')},
        {std::string(41, '\xE6'),
         "Content-Disposition: attachment;\r\n filename*0*=UTF-8''" +
             std::string("%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6") +
             ";\r\n filename*1*=%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6%E6" +
             ";\r\n filename*2*=%E6"},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(DispositionHeader(aRows[i].sName), aRows[i].sExpected) << "row " << i;
    }
}

TEST(MailFormat, Addresses) {
    const struct {
        std::vector<std::string> vecNames;
        bool bOk;
        std::string sHeader;
    } aRows[] = {
        {{"alice"}, true, "To: alice@ex.org"},
        {{"alice", "bob_2", "c-d"}, true, "To: alice@ex.org, bob_2@ex.org, c-d@ex.org"},
        {{std::string(30, 'a'), std::string(30, 'b'), "c"},
         true,
         "To: " + std::string(30, 'a') + "@ex.org,\r\n " + std::string(30, 'b') +
             "@ex.org, c@ex.org"},
        {{"al ice"}, false, ""},
        {{"a>,<b@evil"}, false, ""},
        {{"a\r\nb"}, false, ""},
        {{""}, false, ""},
        {{"a.b"}, false, ""},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        std::vector<std::string> vecAddresses;
        std::string sBad;
        EXPECT_EQ(MailAddresses(aRows[i].vecNames, "ex.org", vecAddresses, sBad), aRows[i].bOk)
            << "row " << i;
        if (aRows[i].bOk) {
            EXPECT_EQ(AddressHeader("To", vecAddresses), aRows[i].sHeader) << "row " << i;
        }
    }
}

TEST(MailFormat, DateAndMessageId) {
    EXPECT_EQ(MailDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
    EXPECT_EQ(MailDate(1796631889123LL), "Mon, 07 Dec 2026 08:24:49 +0000");
    EXPECT_EQ(MailDate(951782400000LL), "Tue, 29 Feb 2000 00:00:00 +0000");
    EXPECT_EQ(MessageIdHeaderValue(17, 5, "ex.org"), "<fanout.17.5@ex.org>");
}

TEST(Attempt, Classify) {
    const struct {
        long lCode;
        OUTCOME eSmtpFailed;  // SMTP, the transfer not ok, with this last reply
        OUTCOME eHttp;
    } aRows[] = {
        {0, OC_RETRY, OC_RETRY},       {200, OC_RETRY, OC_DELIVERED}, {204, OC_RETRY, OC_DELIVERED},
        {299, OC_RETRY, OC_DELIVERED}, {301, OC_RETRY, OC_FAILED},    {354, OC_RETRY, OC_FAILED},
        {400, OC_RETRY, OC_FAILED},    {404, OC_RETRY, OC_FAILED},    {408, OC_RETRY, OC_RETRY},
        {421, OC_RETRY, OC_FAILED},    {429, OC_RETRY, OC_RETRY},     {451, OC_RETRY, OC_FAILED},
        {500, OC_FAILED, OC_RETRY},    {550, OC_FAILED, OC_RETRY},    {599, OC_FAILED, OC_RETRY},
        {600, OC_RETRY, OC_FAILED},    {100, OC_RETRY, OC_FAILED},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(ClassifySmtp(false, aRows[i].lCode), aRows[i].eSmtpFailed) << aRows[i].lCode;
        EXPECT_EQ(ClassifySmtp(true, aRows[i].lCode), OC_DELIVERED) << aRows[i].lCode;
        EXPECT_EQ(ClassifyHttp(aRows[i].lCode), aRows[i].eHttp) << aRows[i].lCode;
    }
}

TEST(Attempt, SafeDetail) {
    const struct {
        std::string sIn;
        size_t nMax;
        std::string sOut;
    } aRows[] = {
        {"250 2.0.0 Ok", 300, "250 2.0.0 Ok"},
        {"  550 no\r\n", 300, "550 no"},
        {"a\x01"
         "b\x7F"
         "c\td",
         300, "a b c d"},
        {"bad\xFF\xC3", 300, "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"中文回答", 7, "中文..."},
        {"abcdef", 3, "abc..."},
        {"", 300, ""},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        EXPECT_EQ(SafeDetail(aRows[i].sIn, aRows[i].nMax), aRows[i].sOut) << "row " << i;
    }
}

TEST(RetryPlan, Backoff) {
    SRetryPolicy oPolicy;
    oPolicy.m_llInitialMs = 1000;
    oPolicy.m_llMaxMs = 60000;
    const struct {
        uint32_t dwAttempt;
        int64_t llMin;
        int64_t llMax;
    } aRows[] = {
        {1, 1000, 1000},   {2, 1000, 2000},   {3, 2000, 4000},      {4, 4000, 8000},
        {6, 16000, 32000}, {7, 30000, 60000}, {1000, 30000, 60000},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        int64_t llLow = INT64_MAX;
        int64_t llHigh = 0;
        for (uint64_t r : {uint64_t(0), uint64_t(1), uint64_t(12345), UINT64_MAX / 3, UINT64_MAX}) {
            const int64_t llDelay = BackoffMs(oPolicy, aRows[i].dwAttempt, r);
            llLow = std::min(llLow, llDelay);
            llHigh = std::max(llHigh, llDelay);
        }
        EXPECT_GE(llLow, aRows[i].llMin) << "attempt " << aRows[i].dwAttempt;
        EXPECT_LE(llHigh, aRows[i].llMax) << "attempt " << aRows[i].dwAttempt;
    }
    // The jitter spreads: different randomness, different delays.
    EXPECT_NE(BackoffMs(oPolicy, 5, 0), BackoffMs(oPolicy, 5, 7777));
}

TEST(RetryPlan, NextStep) {
    SRetryPolicy oPolicy;
    oPolicy.m_llInitialMs = 1000;
    oPolicy.m_llMaxMs = 1000;  // no jitter range: exact times
    oPolicy.m_llMaxAgeMs = 10000;
    const int64_t kReceived = 100000;
    const struct {
        OUTCOME eOutcome;
        int64_t llRetryAfterMs;
        int64_t llNowMs;
        STATUS eStatus;
        int64_t llNextMs;
        bool bNote;
    } aRows[] = {
        {OC_DELIVERED, -1, 100500, MS_DELIVERED, 0, false},
        {OC_FAILED, -1, 100500, MS_FAILED, 0, false},
        {OC_RETRY, -1, 100500, MS_QUEUED, 101500, false},
        {OC_RETRY, 5000, 100500, MS_QUEUED, 105500, false},
        {OC_RETRY, 0, 100500, MS_QUEUED, 100500, false},
        {OC_RETRY, -1, 109500, MS_QUEUED, 110000, false},  // cut to a last attempt at max_age
        {OC_RETRY, 600, 109500, MS_QUEUED, 110100, true},  // Retry-After past max_age
        {OC_RETRY, -1, 110000, MS_FAILED, 0, true},
        {OC_RETRY, -1, 200000, MS_FAILED, 0, true},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        SAttemptResult oResult;
        oResult.m_eOutcome = aRows[i].eOutcome;
        oResult.m_llRetryAfterMs = aRows[i].llRetryAfterMs;
        const SNextStep oStep = PlanNextStep(oPolicy, kReceived, 1, oResult, aRows[i].llNowMs, 0);
        const STATUS eExpected = aRows[i].bNote ? MS_FAILED : aRows[i].eStatus;
        EXPECT_EQ(oStep.m_eStatus, eExpected) << "row " << i;
        EXPECT_EQ(!oStep.m_sNote.empty(), aRows[i].bNote) << "row " << i;
        if (eExpected == MS_QUEUED) {
            EXPECT_EQ(oStep.m_llNextAttemptMs, aRows[i].llNextMs) << "row " << i;
        }
    }
}

TEST(RetryPlan, ParseRetryAfter) {
    const int64_t kNow = 1445412480000LL;  // Wed, 21 Oct 2015 07:28:00 GMT
    const struct {
        const char* szValue;
        bool bOk;
        int64_t llDelayMs;
    } aRows[] = {
        {"120", true, 120000},
        {" 7 ", true, 7000},
        {"0", true, 0},
        {"99999999999999999999", true, 400LL * 24 * 3600 * 1000},
        {"Wed, 21 Oct 2015 07:28:30 GMT", true, 30000},
        {"Wednesday, 21-Oct-15 07:29:00 GMT", true, 60000},
        {"Wed Oct 21 07:28:10 2015", true, 10000},
        {"Wed, 21 Oct 2015 07:00:00 GMT", true, 0},  // past: now
        {"", false, 0},
        {"-5", false, 0},
        {"1.5", false, 0},
        {"soon", false, 0},
    };
    for (size_t i = 0; i < sizeof(aRows) / sizeof(aRows[0]); ++i) {
        int64_t llDelay = -1;
        EXPECT_EQ(ParseRetryAfter(aRows[i].szValue, kNow, llDelay), aRows[i].bOk)
            << "row " << i << ": " << aRows[i].szValue;
        if (aRows[i].bOk) {
            EXPECT_EQ(llDelay, aRows[i].llDelayMs) << "row " << i << ": " << aRows[i].szValue;
        }
    }
}

// RFC 4231 test case 2.
TEST(WebhookFormat, Signature) {
    EXPECT_EQ(SignatureValue("Jefe", "what do ya want for nothing?"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

}  // namespace
