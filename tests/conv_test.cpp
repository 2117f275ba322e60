#include "fanout_client/conv.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConvTest, Conv2Utf8) {
    const struct {
        std::string sIn;
        std::string sOut;
    } kRows[] = {
        {"", ""},
        {"hello", "hello"},
        {"\xC4\xE3\xBA\xC3", "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"\x41\x80", "\x41\xE2\x82\xAC"},  // fills twice the input exactly
        // Twice the input is too little for these: converted again with enough room.
        {"\x80", "\xE2\x82\xAC"},
        {"\x80\x80\x80", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"},
        {"\xFF\xA1\xA4", "\xEF\xA3\xB5\xC2\xB7"},
        {"\xA1\xA4", "\xC2\xB7"},
        {"\x41\x81", "\x41\x20"},
        {"\x81\x30", "\x20"},
        {std::string("\x41\0\x42", 3), "\x41"},  // a zero byte ends the text
        // Twice the input filled exactly, then a lone lead byte: its space is kept.
        {"\xFF\xFF\xF9", "\xEF\xA3\xB5\xEF\xA3\xB5\x20"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].sOut, Conv2Utf8(kRows[i].sIn)) << "row " << i;
    }
}

TEST(ConvTest, Conv2Gbk) {
    const struct {
        std::string sIn;
        std::string sOut;
    } kRows[] = {
        {"", ""},
        {"hello", "hello"},
        {"\xE4\xBD\xA0\xE5\xA5\xBD", "\xC4\xE3\xBA\xC3"},
        {"\xE2\x82\xAC", "\x80"},
        {"\xC3\x9F\xC3\x9F", "\xA1\xF5"},
        {"\xF0", "\xA1\xF5"},  // the worst case: two bytes out for one in
        {"\x80\x80", ""},
        {std::string("\x41\0\x42", 3), "\x41"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].sOut, Conv2Gbk(kRows[i].sIn)) << "row " << i;
    }
}

// Mostly euro bytes: the UTF-8 form is more than twice as long, so nothing of it may be lost.
TEST(ConvTest, LongTextRoundTrips) {
    std::string sGbk;
    for (int i = 0; i < 100000; ++i) {
        sGbk += i % 3 == 0 ? "\xC4\xE3" : i % 100 == 1 ? "ab" : "\x80";
    }
    const std::string sUtf8 = Conv2Utf8(sGbk);
    EXPECT_GT(sUtf8.size(), 2 * sGbk.size());
    EXPECT_EQ(sGbk, Conv2Gbk(sUtf8));
}

}  // namespace
