// The block-wise converters against the character-by-character ones: on long inputs, every
// result, length and byte of the output buffer (written or not) must be the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"
#include "xconv/xconv_wide.h"

namespace {

constexpr char kFill = 0x5A;
constexpr size_t kTextBytes = 20000;

struct SResult {
    int nRet;
    unsigned nOutLen;
    std::string sBuf;
};

// Runs the converter of the direction with block-wise conversion on or off.
SResult Convert(bool bFromGbk, const std::string& sIn, unsigned nRoom, bool bWide) {
    const size_t nSavedMin = xconv_wide_min_len;
    xconv_wide_min_len = bWide ? 0 : SIZE_MAX;
    std::string sOut(nRoom, kFill);
    SResult oRes{0, nRoom, ""};
    const auto* pIn = reinterpret_cast<const unsigned char*>(sIn.data());
    oRes.nRet =
        bFromGbk ? xconv_gbk2utf8(pIn, static_cast<int>(sIn.size()), &sOut[0], &oRes.nOutLen)
                 : xconv_utf82gbk(pIn, static_cast<unsigned>(sIn.size()), &sOut[0], &oRes.nOutLen);
    oRes.sBuf = sOut;
    xconv_wide_min_len = nSavedMin;
    return oRes;
}

// Text of common characters and ASCII, with one in nOddEvery pieces taken from vecOdd.
std::string MakeGbk(std::mt19937& oRng, size_t nOddEvery, const std::vector<std::string>& vecOdd) {
    std::string s;
    while (s.size() < kTextBytes) {
        const unsigned n = oRng();
        if (nOddEvery != 0 && n % nOddEvery == 0) {
            s += vecOdd[oRng() % vecOdd.size()];
        } else if (n % 100 < 85) {
            s += static_cast<char>(0xB0 + oRng() % 40);
            s += static_cast<char>(0xA1 + oRng() % 89);
        } else {
            s += static_cast<char>(0x20 + oRng() % 95);
        }
    }
    return s;
}

std::string ToUtf8(const std::string& sGbk) {
    const SResult oRes = Convert(true, sGbk, static_cast<unsigned>(3 * sGbk.size() + 1), false);
    return oRes.sBuf.substr(0, oRes.nOutLen);
}

// The start of the first character of the text at or after byte nAt.
size_t CharStartFrom(const std::string& sText, size_t nAt, bool bGbk) {
    size_t i = 0;
    while (i < nAt) {
        const unsigned char c = static_cast<unsigned char>(sText[i]);
        i += bGbk && c >= 0x81 ? 2 : 1;
    }
    while (!bGbk && (static_cast<unsigned char>(sText[i]) & 0xC0) == 0x80) {
        ++i;
    }
    return i;
}

}  // namespace

TEST(XconvWideTest, BlocksWriteWhatCharactersWrite) {
    // Pieces the block walk must leave to the general step, or take with care.
    const std::vector<std::string> vecGbkOdd = {std::string(1, '\0'),
                                                "\x80",
                                                "\xFF",
                                                "\x81\x40",
                                                "\xA1\xA4",
                                                "\xA6\xA1",
                                                "\x81",
                                                "\x81\x7F",
                                                "\xFE\xFE",
                                                "\xB0\x80",
                                                "\xB0\xFF",
                                                std::string(70, 'a'),
                                                std::string("\x81\x30", 2)};
    const std::vector<std::string> vecUtf8Odd = {
        std::string(1, '\0'), "\xE2\x82\xAC", "\xEF\xA3\xB5",      "\xC2\xA4", "\xF0\x9F\x98\x80",
        "\xE0\xB8\x81",       "\xE4\xB8",     "\xE4\x41\x42",      "\x80",     "\xFF",
        "\xE0\x81\x81",       "\xED\xA0\x80", std::string(70, 'b')};
    struct SRow {
        const char* szName;
        bool bFromGbk;
        size_t nOddEvery;  // 0: none
        int nIgnoreOneErrByte;
        const char* szEnd;  // a last character, inserted with a zero byte after it; null: none
    };
    const SRow arrRows[] = {
        {"GBK, common characters only", true, 0, 0, nullptr},
        {"GBK, odd pieces now and then", true, 50, 0, nullptr},
        {"GBK, odd pieces often", true, 5, 0, nullptr},
        {"GBK, odd pieces, one bad byte ignored", true, 20, 1, nullptr},
        {"GBK, ASCII then a zero byte", true, 0, 0, "a"},
        {"GBK, a common character then a zero byte", true, 0, 0, "\xB0\xA1"},
        {"UTF-8, common characters only", false, 0, 0, nullptr},
        {"UTF-8, odd pieces now and then", false, 50, 0, nullptr},
        {"UTF-8, odd pieces often", false, 5, 0, nullptr},
        {"UTF-8, ASCII then a zero byte", false, 0, 0, "a"},
        {"UTF-8, a common character then a zero byte", false, 0, 0, "\xE4\xB8\x80"},
    };
    for (size_t i = 0; i < sizeof(arrRows) / sizeof(arrRows[0]); ++i) {
        const SRow& oRow = arrRows[i];
        std::mt19937 oRng(static_cast<unsigned>(936 + i));
        std::string sIn;
        if (oRow.bFromGbk) {
            sIn = MakeGbk(oRng, oRow.nOddEvery, vecGbkOdd);
        } else {
            sIn = ToUtf8(MakeGbk(oRng, 0, vecGbkOdd));
            for (size_t k = 0; oRow.nOddEvery != 0 && k < sIn.size();
                 k += 1 + oRng() % (3 * oRow.nOddEvery)) {
                sIn.insert(k, vecUtf8Odd[oRng() % vecUtf8Odd.size()]);
            }
        }
        if (oRow.szEnd != nullptr) {
            sIn.insert(CharStartFrom(sIn, kTextBytes / 2, oRow.bFromGbk),
                       std::string(oRow.szEnd) + '\0');
        }
        ignore_one_err_gbk_byte = oRow.nIgnoreOneErrByte;
        const unsigned nFull = static_cast<unsigned>(3 * sIn.size() + 1);
        for (unsigned nRoom : {nFull, static_cast<unsigned>(sIn.size()), 1100u, 1025u, 1024u, 1023u,
                               100u, static_cast<unsigned>(sIn.size() / 2 + 7)}) {
            const SResult oChars = Convert(oRow.bFromGbk, sIn, nRoom, false);
            const SResult oBlocks = Convert(oRow.bFromGbk, sIn, nRoom, true);
            EXPECT_EQ(oBlocks.nRet, oChars.nRet)
                << "row " << i << " (" << oRow.szName << "), room " << nRoom;
            EXPECT_EQ(oBlocks.nOutLen, oChars.nOutLen)
                << "row " << i << " (" << oRow.szName << "), room " << nRoom;
            EXPECT_TRUE(oBlocks.sBuf == oChars.sBuf)
                << "row " << i << " (" << oRow.szName << "), room " << nRoom;
        }
        ignore_one_err_gbk_byte = 0;
    }
}
