#include "xconv/xconv_utf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned short> VEC_UNIT;

constexpr char kSentinel = 0x5A;
constexpr unsigned short kUnitSentinel = 0x5A5A;

TEST(XconvUtfTest, SingleUtf16To8) {
    const struct {
        unsigned short wValue;
        std::string sBytes;
    } kRows[] = {
        {0x0000, std::string(1, '\0')}, {0x0041, "\x41"},         {0x007F, "\x7F"},
        {0x0080, "\xC2\x80"},           {0x00E9, "\xC3\xA9"},     {0x07FF, "\xDF\xBF"},
        {0x0800, "\xE0\xA0\x80"},       {0x4F60, "\xE4\xBD\xA0"}, {0xD800, "\xED\xA0\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        char szOut[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        const int nLen = xconv_single_utf16to8(kRows[i].wValue, szOut);
        EXPECT_EQ(kRows[i].sBytes, std::string(szOut, nLen < 0 ? 0 : nLen)) << "row " << i;
        EXPECT_EQ(kSentinel, szOut[3]) << "row " << i;
    }
}

TEST(XconvUtfTest, SingleUtf8To16) {
    const struct {
        std::string sBytes;  // exactly the bytes the sequence is read from
        int nRet;
        unsigned short wValue;
    } kRows[] = {
        {std::string(1, '\0'), 1, 0x0000},
        {"\x41", 1, 0x0041},
        {"\xC3\xA9", 1, 0x00E9},
        {"\xE4\xBD\xA0", 1, 0x4F60},
        {"\xEF\xBF\xBF", 1, 0xFFFF},
        {"\xC3\x41", 1, 0x00C1},      // continuation byte not checked
        {"\xC0\x80", 1, 0x0000},      // overlong form decoded arithmetically
        {"\xED\xA0\x80", 1, 0xD800},  // surrogate value decoded like any other
        {"\xF0\x9F\x98\x80", 0, 0},
        {"\x80", 0, 0},
        {"\xBF", 0, 0},
        {"\xF7", 0, 0},
        {"\xF8", 0, 0},
        {"\xFF", 0, 0},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string& sIn = kRows[i].sBytes;
        std::unique_ptr<unsigned char[]> pIn(new unsigned char[sIn.size()]);
        sIn.copy(reinterpret_cast<char*>(pIn.get()), sIn.size());
        unsigned short wValue = kUnitSentinel;
        EXPECT_EQ(kRows[i].nRet, xconv_single_utf8to16(pIn.get(), &wValue)) << "row " << i;
        EXPECT_EQ(kRows[i].wValue, wValue) << "row " << i;
    }
}

TEST(XconvUtfTest, Utf16To8String) {
    const struct {
        VEC_UNIT vecIn;
        int nInLen;
        unsigned nOutSize;
        int nRet;
        std::string sOut;  // the whole buffer afterwards, terminator included
    } kRows[] = {
        {{0x4F60, 0x597D}, 2, 7, 6, std::string("\xE4\xBD\xA0\xE5\xA5\xBD\0", 7)},
        {{0x4F60, 0x597D}, 2, 6, 3, std::string("\xE4\xBD\xA0\0\x5A\x5A", 6)},
        {{0x4F60, 0x597D}, 2, 1, 0, std::string(1, '\0')},
        {{0x4F60, 0x597D}, 2, 0, 0, ""},
        {{0x41}, 1, 2, 1, std::string("\x41\0", 2)},
        {{0x41, 0x42}, 2, 2, 1, std::string("\x41\0", 2)},
        {{0x41, 0x00, 0x42}, 3, 5, 3, std::string("\x41\0\x42\0\x5A", 5)},  // zero unit kept
        {{0x41, 0x42}, 1, 4, 1, std::string("\x41\0\x5A\x5A", 4)},
        {{0x41}, 0, 2, 0, std::string("\0\x5A", 2)},
        {{0x41}, -1, 2, 0, std::string("\0\x5A", 2)},
        {{0xD800, 0xE9}, 2, 8, 5, std::string("\xED\xA0\x80\xC3\xA9\0\x5A\x5A", 8)},
        {{0x41, 0xE9}, 2, 3, 1, std::string("\x41\0\x5A", 3)},  // 2-byte form: no room left
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        std::unique_ptr<char[]> pOut(new char[kRows[i].nOutSize]);
        std::fill(pOut.get(), pOut.get() + kRows[i].nOutSize, kSentinel);
        EXPECT_EQ(kRows[i].nRet, xconv_utf16to8(kRows[i].vecIn.data(), kRows[i].nInLen, pOut.get(),
                                                kRows[i].nOutSize))
            << "row " << i;
        EXPECT_EQ(kRows[i].sOut, std::string(pOut.get(), kRows[i].nOutSize)) << "row " << i;
    }
}

TEST(XconvUtfTest, Utf8To16String) {
    const struct {
        std::string sIn;
        unsigned nOutSize;
        int nRet;
        VEC_UNIT vecOut;  // the whole buffer afterwards, terminator included
    } kRows[] = {
        {"\x41\xF0\x9F\x98\x80\x42", 4, 2, {0x41, 0x42, 0, kUnitSentinel}},
        {"\x41\xE4\xBD", 3, 1, {0x41, 0, kUnitSentinel}},
        {"\x41\xF0\x9F\x98", 3, 1, {0x41, 0, kUnitSentinel}},  // four-byte lead near the end
        {"\x41\x42\x43", 3, 2, {0x41, 0x42, 0}},
        {"\x41\x42\x43", 1, 0, {0}},
        {"\x41\x42\x43", 0, 0, {}},
        {std::string("\x41\0\x42", 3), 4, 3, {0x41, 0, 0x42, 0}},  // zero byte kept
        {"\x80\x41\xF8\xC3\xA9\xFF", 4, 2, {0x41, 0xE9, 0, kUnitSentinel}},
        {"\xE4\xBD\xA0\xC3", 3, 1, {0x4F60, 0, kUnitSentinel}},
        {"", 2, 0, {0, kUnitSentinel}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string& sIn = kRows[i].sIn;
        std::unique_ptr<unsigned char[]> pIn(new unsigned char[sIn.size()]);
        sIn.copy(reinterpret_cast<char*>(pIn.get()), sIn.size());
        std::unique_ptr<unsigned short[]> pOut(new unsigned short[kRows[i].nOutSize]);
        std::fill(pOut.get(), pOut.get() + kRows[i].nOutSize, kUnitSentinel);
        EXPECT_EQ(kRows[i].nRet, xconv_utf8to16(pIn.get(), static_cast<unsigned>(sIn.size()),
                                                pOut.get(), kRows[i].nOutSize))
            << "row " << i;
        EXPECT_EQ(kRows[i].vecOut, VEC_UNIT(pOut.get(), pOut.get() + kRows[i].nOutSize))
            << "row " << i;
    }
}

// Every value survives the trip through its UTF-8 form, and both string converters agree with
// the single steps.
TEST(XconvUtfTest, EveryValueRoundTrips) {
    VEC_UNIT vecAll(0x10000);
    for (unsigned v = 0; v < 0x10000; ++v) {
        vecAll[v] = static_cast<unsigned short>(v);
    }
    std::vector<char> vecUtf8(3 * vecAll.size() + 1);
    const int nBytes = xconv_utf16to8(vecAll.data(), static_cast<int>(vecAll.size()),
                                      vecUtf8.data(), static_cast<unsigned>(vecUtf8.size()));
    ASSERT_EQ(0x80 + 2 * (0x800 - 0x80) + 3 * (0x10000 - 0x800), nBytes);

    VEC_UNIT vecBack(vecAll.size() + 1);
    const int nUnits = xconv_utf8to16(reinterpret_cast<const unsigned char*>(vecUtf8.data()),
                                      static_cast<unsigned>(nBytes), vecBack.data(),
                                      static_cast<unsigned>(vecBack.size()));
    ASSERT_EQ(0x10000, nUnits);
    vecBack.pop_back();
    EXPECT_EQ(vecAll, vecBack);
}

}  // namespace
