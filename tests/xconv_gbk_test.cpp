#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"
#include "xconv/xconv_utf.h"

namespace {

constexpr char kFill = 0x5A;
constexpr char kOtherFill = static_cast<char>(0xA5);
constexpr int kWholeInput = INT_MIN;  // in_len is the size of the input
constexpr unsigned kCodeCount = 126 * 190;
constexpr unsigned kPuaCount = 2149;

struct SResult {
    int nRet;
    unsigned nOutLen;
    std::string sBuf;  // the whole output buffer afterwards
};

// Runs a converter with the input and the output each in a heap block of exactly their size, so
// that AddressSanitizer reports any access outside them; cFill marks the bytes not written.
template <typename TLen>
SResult Run(int (*fConv)(const unsigned char*, TLen, char*, unsigned*), const std::string& sIn,
            TLen nInLen, unsigned nRoom, char cFill) {
    std::unique_ptr<unsigned char[]> pIn(new unsigned char[sIn.size()]);
    sIn.copy(reinterpret_cast<char*>(pIn.get()), sIn.size());
    std::unique_ptr<char[]> pOut(new char[nRoom]);
    std::fill(pOut.get(), pOut.get() + nRoom, cFill);
    SResult oRes{0, nRoom, ""};
    oRes.nRet = fConv(pIn.get(), nInLen, pOut.get(), &oRes.nOutLen);
    oRes.sBuf.assign(pOut.get(), nRoom);
    return oRes;
}

SResult G2U(const std::string& sIn, unsigned nRoom, int nInLen = kWholeInput, char cFill = kFill) {
    return Run(xconv_gbk2utf8, sIn, nInLen == kWholeInput ? static_cast<int>(sIn.size()) : nInLen,
               nRoom, cFill);
}

SResult U2G(const std::string& sIn, unsigned nRoom, char cFill = kFill) {
    return Run(xconv_utf82gbk, sIn, static_cast<unsigned>(sIn.size()), nRoom, cFill);
}

// Sets ignore_one_err_gbk_byte for the lifetime of the object.
class CIgnoreOneErrByte {
public:
    explicit CIgnoreOneErrByte(int nValue) : m_nSaved(ignore_one_err_gbk_byte) {
        ignore_one_err_gbk_byte = nValue;
    }
    ~CIgnoreOneErrByte() { ignore_one_err_gbk_byte = m_nSaved; }

private:
    int m_nSaved;
};

std::string Utf8Of(unsigned short wValue) {
    char szBuf[3];
    return std::string(szBuf, xconv_single_utf16to8(wValue, szBuf));
}

std::string Code(unsigned dwCode) {
    return std::string{static_cast<char>(dwCode >> 8), static_cast<char>(dwCode & 0xFF)};
}

// The buffer a successful run leaves: the output, nZeros terminator bytes where room allows,
// then the untouched fill.
std::string Expected(const std::string& sWritten, unsigned nZeros, unsigned nRoom) {
    std::string sBuf = sWritten.substr(0, nRoom);
    sBuf.append(std::min<size_t>(nZeros, nRoom - sBuf.size()), '\0');
    sBuf.append(nRoom - sBuf.size(), kFill);
    return sBuf;
}

TEST(XconvGbkTest, KnownCodes) {
    const struct {
        unsigned dwCode;
        unsigned short wValue;
    } kRows[] = {
        {0xC4E3, 0x4F60}, {0xBAC3, 0x597D}, {0xA1A4, 0x00B7}, {0xA1AA, 0x2014}, {0xA1F5, 0x25A1},
        {0xA1A1, 0x3000}, {0xB0A1, 0x554A}, {0x8140, 0x4E02}, {0xAAA1, 0xE000}, {0xAFFE, 0xE233},
        {0xF8A1, 0xE234}, {0xFEFE, 0xE4C5}, {0xA140, 0xE4C6}, {0xA7A0, 0xE765}, {0xA2AB, 0xE766},
        {0xA2E3, 0xE76C}, {0xA8BF, 0xE7C8}, {0xA989, 0xE7E7}, {0xFEA0, 0xE864},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sUtf8 = Utf8Of(kRows[i].wValue);
        const SResult oDec = G2U(Code(kRows[i].dwCode), 4);
        EXPECT_EQ(0, oDec.nRet) << "row " << i;
        EXPECT_EQ(Expected(sUtf8, 1, 4), oDec.sBuf) << "row " << i;
        const SResult oEnc = U2G(sUtf8, 4);
        EXPECT_EQ(0, oEnc.nRet) << "row " << i;
        EXPECT_EQ(Expected(Code(kRows[i].dwCode), 2, 4), oEnc.sBuf) << "row " << i;
    }
}

// Every two-byte code decodes to a value of its own and encodes back to itself; the
// private-use values form one unbroken range.
TEST(XconvGbkTest, EveryTwoByteCodeRoundTrips) {
    std::set<unsigned short> setValues;
    unsigned nTwoByteForms = 0;
    for (unsigned dwLead = 0x81; dwLead <= 0xFE; ++dwLead) {
        for (unsigned dwTrail = 0x40; dwTrail <= 0xFE; ++dwTrail) {
            if (dwTrail == 0x7F) {
                continue;
            }
            const unsigned dwCode = dwLead << 8 | dwTrail;
            const SResult oDec = G2U(Code(dwCode), 3);  // room for exactly what a code asks
            ASSERT_EQ(0, oDec.nRet) << std::hex << dwCode;
            ASSERT_TRUE(oDec.nOutLen == 2 || oDec.nOutLen == 3) << std::hex << dwCode;
            nTwoByteForms += oDec.nOutLen == 2;
            const std::string sUtf8 = oDec.sBuf.substr(0, oDec.nOutLen);
            unsigned short wValue = 0;
            ASSERT_EQ(1, xconv_single_utf8to16(reinterpret_cast<const unsigned char*>(sUtf8.data()),
                                               &wValue));
            ASSERT_EQ(sUtf8, Utf8Of(wValue)) << std::hex << dwCode;
            EXPECT_TRUE(setValues.insert(wValue).second) << std::hex << dwCode << " repeats";

            const SResult oEnc = U2G(sUtf8, 2);
            ASSERT_EQ(0, oEnc.nRet) << std::hex << dwCode;
            EXPECT_EQ(Code(dwCode), oEnc.sBuf) << std::hex << dwCode;
        }
    }
    EXPECT_EQ(kCodeCount, setValues.size());
    EXPECT_EQ(157u, nTwoByteForms);
    EXPECT_EQ(0u, setValues.count(0x20AC));  // both belong to the single bytes 80 and FF
    EXPECT_EQ(0u, setValues.count(0xF8F5));
    const auto itPua = setValues.lower_bound(0xE000);
    EXPECT_EQ(kPuaCount,
              static_cast<unsigned>(std::distance(itPua, setValues.upper_bound(0xF8FF))));
    EXPECT_EQ(0xE000 + kPuaCount - 1, *std::prev(setValues.upper_bound(0xF8FF)));
}

// Every value of the Basic Multilingual Plane either encodes to a code that decodes back to it,
// or is replaced by A1 F5 with all its bytes counted.
TEST(XconvGbkTest, EveryValueEncodesToItsCodeOrPadding) {
    unsigned nMapped = 0;
    for (unsigned v = 0x80; v <= 0xFFFF; ++v) {
        const std::string sUtf8 = Utf8Of(static_cast<unsigned short>(v));
        const SResult oEnc = U2G(sUtf8, 2);
        ASSERT_GE(oEnc.nRet, 0) << std::hex << v;
        if (v == 0x20AC || v == 0xF8F5) {
            EXPECT_EQ(0, oEnc.nRet);
            EXPECT_EQ(std::string(1, v == 0x20AC ? '\x80' : '\xFF'), oEnc.sBuf.substr(0, 1));
            continue;
        }
        const std::string sCode = oEnc.sBuf.substr(0, oEnc.nOutLen);
        if (oEnc.nRet != 0) {
            EXPECT_EQ(static_cast<int>(sUtf8.size()), oEnc.nRet) << std::hex << v;
            EXPECT_EQ("\xA1\xF5", sCode) << std::hex << v;
            continue;
        }
        ++nMapped;
        const SResult oDec = G2U(sCode, 4);
        EXPECT_EQ(0, oDec.nRet) << std::hex << v;
        EXPECT_EQ(sUtf8, oDec.sBuf.substr(0, oDec.nOutLen)) << std::hex << v;
    }
    EXPECT_EQ(kCodeCount, nMapped);
}

TEST(XconvGbkTest, Gbk2Utf8Cases) {
    const struct {
        std::string sIn;
        int nInLen;
        unsigned nRoom;
        int nIgnoreFlag;
        int nRet;
        std::string sWritten;
        bool bTerminated;
    } kRows[] = {
        {"\xC4\xE3\xBA\xC3", kWholeInput, 16, 0, 0, "\xE4\xBD\xA0\xE5\xA5\xBD", true},
        {"\xC4\xE3\xBA\xC3", kWholeInput, 7, 0, 0, "\xE4\xBD\xA0\xE5\xA5\xBD", true},
        {"\xC4\xE3\xBA\xC3", kWholeInput, 6, 0, 0, "\xE4\xBD\xA0\xE5\xA5\xBD", false},
        {"\xC4\xE3\xBA\xC3", kWholeInput, 5, 0, -1, "\xE4\xBD\xA0", false},
        {"\x80", kWholeInput, 4, 0, 0, "\xE2\x82\xAC", true},
        {"\x80", kWholeInput, 2, 0, -1, "", false},
        {"\xFF", kWholeInput, 3, 0, 0, "\xEF\xA3\xB5", false},
        {"\xAA\xA1", kWholeInput, 4, 0, 0, "\xEE\x80\x80", true},
        {"\xA1\xA4", kWholeInput, 2, 0, -1, "", false},  // a code asks for 3 bytes of room
        {"\xA1\xA4", kWholeInput, 3, 0, 0, "\xC2\xB7", true},
        {"\x41", kWholeInput, 1, 0, 0, "\x41", false},
        {"\x41\x42", kWholeInput, 1, 0, -1, "\x41", false},
        {"", kWholeInput, 0, 0, 0, "", false},
        {"\x41", 0, 4, 0, 0, "", true},
        {"\x41", -5, 4, 0, 0, "", true},
        {"\x41\x42", 1, 4, 0, 0, "\x41", true},
        // A lead byte at the end of the input: a space, no count, no terminator.
        {"\x41\x81", kWholeInput, 4, 0, 0, "\x41\x20", false},
        {"\x41\x81", kWholeInput, 1, 0, 0, "\x41", false},
        {"\xA1\xA1\xA1", kWholeInput, 8, 0, 0, "\xE3\x80\x80\x20", false},
        {"\x41\x81\x41", 2, 4, 0, 0, "\x41\x20", false},
        // A zero byte ends the input, also right after a lead byte (which is then counted).
        {std::string("\x41\x81\0", 3), kWholeInput, 4, 0, 1, "\x41", true},
        {std::string("\x41\0\x42", 3), kWholeInput, 4, 0, 0, "\x41", true},
        // Invalid trail bytes: 01-3F and FF cost one byte or two depending on the flag, 7F two.
        {"\x81\x30", kWholeInput, 4, 0, 2, "\x20", true},
        {"\x81\x30", kWholeInput, 4, 1, 1, "\x20\x30", true},
        {"\x81\x01\x41", kWholeInput, 4, 1, 1, "\x20\x01\x41", true},
        {"\x81\x7F", kWholeInput, 4, 0, 2, "\x20", true},
        {"\x81\x7F", kWholeInput, 4, 1, 2, "\x20", true},
        {"\x81\xFF", kWholeInput, 8, 0, 2, "\x20", true},
        {"\x81\xFF", kWholeInput, 8, 1, 1, "\x20\xEF\xA3\xB5", true},
        {"\x81\x3F\x81", kWholeInput, 8, 1, 1, "\x20\x3F\x20", false},
        {"\x81\x30", kWholeInput, 0, 0, -1, "", false},
        // Valid trails at the edges of both ranges.
        {"\x81\x40\x81\x7E\x81\x80\x81\xFE", kWholeInput, 16, 0, 0,
         "\xE4\xB8\x82\xE4\xBA\x8A\xE4\xBA\x90\xE4\xBE\xA2", true},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const CIgnoreOneErrByte oFlag(kRows[i].nIgnoreFlag);
        const SResult oRes = G2U(kRows[i].sIn, kRows[i].nRoom, kRows[i].nInLen);
        EXPECT_EQ(kRows[i].nRet, oRes.nRet) << "row " << i;
        const unsigned nOutLen = kRows[i].nRet < 0 ? kRows[i].nRoom : kRows[i].sWritten.size();
        EXPECT_EQ(nOutLen, oRes.nOutLen) << "row " << i;
        EXPECT_EQ(Expected(kRows[i].sWritten, kRows[i].bTerminated, kRows[i].nRoom), oRes.sBuf)
            << "row " << i;
    }
}

TEST(XconvGbkTest, Utf82GbkCases) {
    const struct {
        std::string sIn;
        unsigned nRoom;
        int nRet;
        std::string sWritten;
    } kRows[] = {
        {"\xE4\xBD\xA0\xE5\xA5\xBD", 16, 0, "\xC4\xE3\xBA\xC3"},
        {"\xE4\xBD\xA0\xE5\xA5\xBD", 5, 0, "\xC4\xE3\xBA\xC3"},
        {"\xE4\xBD\xA0\xE5\xA5\xBD", 4, 0, "\xC4\xE3\xBA\xC3"},
        {"\xE4\xBD\xA0\xE5\xA5\xBD", 3, -1, "\xC4\xE3"},
        {"\xE2\x82\xAC", 4, 0, "\x80"},
        {"\xEF\xA3\xB5", 1, 0, "\xFF"},
        {"\xE2\x82\xAC", 0, -1, ""},
        {"\xEE\x80\x80", 4, 0, "\xAA\xA1"},
        {"\xC2\xB7", 4, 0, "\xA1\xA4"},
        // Unmapped characters: one A1 F5 for a run, the lead counted, continuations dropped.
        {"\xC3\x9F", 4, 2, "\xA1\xF5"},
        {"\xC3\x9F\xC3\x9F", 4, 4, "\xA1\xF5"},
        {"\xC3\x9F\x41\xC3\x9F", 8, 4, "\xA1\xF5\x41\xA1\xF5"},
        {"\xC3\x9F\x80\xC3\x9F", 4, 5, "\xA1\xF5"},
        {"\xC3\x9F\xC3\x9F", 2, -1, "\xA1\xF5"},  // room for 2 is asked before the lookup
        {"\xED\xA0\x80", 4, 3, "\xA1\xF5"},       // a surrogate value
        {"\xC1\x81", 4, 2, "\xA1\xF5"},           // overlong A: below every block
        {"\xE2\x82\xAC\xC3\x9F\xE2\x82\xAC\xC3\x9F", 8, 4, "\x80\xA1\xF5\x80\xA1\xF5"},
        // Four-byte and cut-short sequences: each replaced on its own, all their bytes counted.
        {"\xF0\x9F\x98\x80", 4, 4, "\xA1\xF5"},
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 8, 8, "\xA1\xF5\xA1\xF5"},
        {"\xC3\x9F\xF0\x9F\x98\x80\xC3\x9F", 8, 8, "\xA1\xF5\xA1\xF5"},
        {"\xF0\x41", 4, 2, "\xA1\xF5"},
        {"\xE4\xBD", 4, 2, "\xA1\xF5"},
        {"\x41\xC3", 4, 1, "\x41\xA1\xF5"},
        {"\xF0\x9F\x98\x80", 1, -1, ""},
        // Stray bytes are dropped.
        {"\x80", 4, 1, ""},
        {"\xBF\xF8\xFF\x41", 4, 3, "\x41"},
        // Continuation bytes are not checked: only their low six bits count.
        {"\xE4\x3D\x20", 4, 0, "\xC4\xE3"},
        {"\xE4\xFD\xE0", 4, 0, "\xC4\xE3"},
        // A zero byte ends the input, also inside a sequence, which is then cut short.
        {std::string("\x41\0\x42", 3), 4, 0, "\x41"},
        {std::string("\xE4\0\xA0", 3), 4, 1, "\xA1\xF5"},
        {std::string("\xF0\x9F\0\x80", 4), 4, 2, "\xA1\xF5"},
        {"", 0, 0, ""},
        {"", 1, 0, ""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const SResult oRes = U2G(kRows[i].sIn, kRows[i].nRoom);
        EXPECT_EQ(kRows[i].nRet, oRes.nRet) << "row " << i;
        const unsigned nOutLen = kRows[i].nRet < 0 ? kRows[i].nRoom : kRows[i].sWritten.size();
        EXPECT_EQ(nOutLen, oRes.nOutLen) << "row " << i;
        EXPECT_EQ(Expected(kRows[i].sWritten, kRows[i].nRet < 0 ? 0 : 2, kRows[i].nRoom), oRes.sBuf)
            << "row " << i;
    }
}

// Bytes of the kinds both converters tell apart, and a few whole characters and an ASCII run,
// to build inputs that reach every branch.
std::string RandomText(std::mt19937& oRng) {
    static const char kSingles[] =
        "Az~\0\x01\x30\x3F\x40\x7E\x7F\x80\x81\xA1\xAA\xC3\xC4\xE3\xE4\xF0\xF8\xFE\xFF\xA4\xBD\x9F";
    static const std::string kPieces[] = {"\xC4\xE3",     "\xE4\xBD\xA0",     "\xC3\x9F",
                                          "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "ABCDEFGHIJKLMNOP"};
    const size_t nSingles = sizeof(kSingles) - 1;
    const size_t nPieces = sizeof(kPieces) / sizeof(kPieces[0]);
    std::uniform_int_distribution<size_t> oPick(0, nSingles + nPieces - 1);
    std::uniform_int_distribution<int> oCount(0, 12);
    std::string sText;
    for (int n = oCount(oRng); n > 0; --n) {
        const size_t k = oPick(oRng);
        sText += k < nSingles ? std::string(1, kSingles[k]) : kPieces[k - nSingles];
    }
    return sText;
}

// Length of the common prefix where two runs with different fills agree: the bytes written.
size_t WrittenLength(const SResult& oA, const SResult& oB) {
    return std::mismatch(oA.sBuf.begin(), oA.sBuf.end(), oB.sBuf.begin()).first - oA.sBuf.begin();
}

// Every room from 0 upwards: either the same result as with plenty of room, or -1 with the
// length left alone; either way only a prefix of that run's buffer is written. Once a room is
// enough, every larger one is too. The one thing that gives way to a lack of room without -1 is
// the space the GBK decoder writes for a lead byte at the very end (bSpaceMayGo).
template <typename FRun>
void CheckEveryRoom(const std::string& sIn, FRun fRun, bool bSpaceMayGo, size_t nIndex) {
    const unsigned nPlenty = static_cast<unsigned>(3 * sIn.size() + 8);
    const SResult oFull = fRun(sIn, nPlenty, kFill);
    ASSERT_GE(oFull.nRet, 0) << "input " << nIndex;
    ASSERT_LE(oFull.nRet, static_cast<int>(sIn.size())) << "input " << nIndex;
    bool bFits = false;
    for (unsigned nRoom = 0; nRoom <= oFull.nOutLen + 2; ++nRoom) {
        const SResult oA = fRun(sIn, nRoom, kFill);
        const SResult oB = fRun(sIn, nRoom, kOtherFill);
        const size_t nWritten = WrittenLength(oA, oB);
        ASSERT_EQ(oA.nRet, oB.nRet) << "input " << nIndex << " room " << nRoom;
        ASSERT_EQ(oFull.sBuf.substr(0, nWritten), oA.sBuf.substr(0, nWritten))
            << "input " << nIndex << " room " << nRoom;
        ASSERT_EQ(std::string(nRoom - nWritten, kFill), oA.sBuf.substr(nWritten))
            << "input " << nIndex << " room " << nRoom;
        if (oA.nRet < 0) {
            ASSERT_FALSE(bFits) << "input " << nIndex << " room " << nRoom;
            ASSERT_EQ(nRoom, oA.nOutLen) << "input " << nIndex << " room " << nRoom;
            continue;
        }
        bFits = true;
        ASSERT_EQ(oFull.nRet, oA.nRet) << "input " << nIndex << " room " << nRoom;
        if (bSpaceMayGo && oA.nOutLen + 1 == oFull.nOutLen && oA.nOutLen == nRoom) {
            ASSERT_EQ(' ', oFull.sBuf[nRoom]) << "input " << nIndex << " room " << nRoom;
        } else {
            ASSERT_EQ(oFull.nOutLen, oA.nOutLen) << "input " << nIndex << " room " << nRoom;
        }
        ASSERT_GE(nWritten, oA.nOutLen) << "input " << nIndex << " room " << nRoom;
    }
    EXPECT_TRUE(bFits) << "input " << nIndex;
}

TEST(XconvGbkTest, AnyInputAnyRoomStaysInBounds) {
    std::mt19937 oRng(936);
    for (size_t i = 0; i < 3000; ++i) {
        const std::string sText = RandomText(oRng);
        for (int nFlag = 0; nFlag <= 1; ++nFlag) {
            const CIgnoreOneErrByte oFlag(nFlag);
            CheckEveryRoom(
                sText,
                [](const std::string& s, unsigned n, char c) { return G2U(s, n, kWholeInput, c); },
                true, i);
        }
        CheckEveryRoom(
            sText, [](const std::string& s, unsigned n, char c) { return U2G(s, n, c); }, false, i);
    }
}

TEST(XconvGbkDeathTest, NullPointersStopTheProcess) {
    char szOut[4];
    unsigned nLen = sizeof(szOut);
    const unsigned char szIn[] = "A";
    EXPECT_DEATH(xconv_gbk2utf8(nullptr, 1, szOut, &nLen),
                 "xconv_g2u.*xconv_gbk2utf8.*in != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(xconv_gbk2utf8(szIn, 1, nullptr, &nLen),
                 "xconv_g2u.*xconv_gbk2utf8.*out != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(xconv_utf82gbk(nullptr, 1, szOut, &nLen),
                 "xconv_u2g.*xconv_utf82gbk.*in != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(xconv_utf82gbk(szIn, 1, nullptr, &nLen),
                 "xconv_u2g.*xconv_utf82gbk.*out != \\(\\(void \\*\\)0\\)");
}

}  // namespace
