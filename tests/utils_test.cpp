#include "dev_tools/utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> VEC;

TEST(UtilsTest, ToStrWritesDecimal) {
    const struct {
        uint64_t dwValue;
        const char* szExpected;
    } kRows[] = {
        {0, "0"},
        {9, "9"},
        {10, "10"},
        {99, "99"},
        {100, "100"},
        {101, "101"},
        {1000, "1000"},
        {4294967295ULL, "4294967295"},
        {10000000000000000000ULL, "10000000000000000000"},
        {18446744073709551615ULL, "18446744073709551615"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].szExpected, to_str(kRows[i].dwValue)) << "row " << i;
    }
}

TEST(UtilsTest, ToStrForms) {
    EXPECT_EQ("4294967295", ToStr<uint32_t>(4294967295U));
    EXPECT_EQ("0", ToStr<uint32_t>(0U));
    EXPECT_EQ("111", ToStr<int32_t>(111));
    EXPECT_EQ("-1", ToStr<int32_t>(-1));
    EXPECT_EQ("-2147483648", ToStr<int32_t>(INT32_MIN));
    EXPECT_EQ("2147483647", ToStr<int32_t>(INT32_MAX));
}

TEST(UtilsTest, ByteBecomesNumberNotCharacter) {
    EXPECT_EQ("0", (ToType<std::string, uint8_t>(0)));
    EXPECT_EQ("1", (ToType<std::string, uint8_t>(1)));
    EXPECT_EQ("65", (ToType<std::string, uint8_t>('A')));
    EXPECT_EQ("255", (ToType<std::string, uint8_t>(255)));
}

TEST(UtilsTest, TokenExtraction) {
    const struct {
        const char* szInput;
        const char* szExpected;
    } kRows[] = {
        {"  abc  ", "abc"}, {"a b", "a"},     {"", ""},
        {"   ", ""},        {"\tx\r\n", "x"}, {"my file.txt", "my"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].szExpected, (ToType<std::string, std::string>(kRows[i].szInput)))
            << "row " << i << " input '" << kRows[i].szInput << "'";
    }
}

TEST(UtilsTest, SplitStringByChar) {
    const struct {
        const char* szInput;
        const char* szDelim;
        VEC vecDropEmpty;
        VEC vecKeepEmpty;
    } kRows[] = {
        {"", ";", {}, {}},
        {"a", ";", {"a"}, {"a"}},
        {"a;b", ";", {"a", "b"}, {"a", "b"}},
        {"a;;b", ";", {"a", "b"}, {"a", "", "b"}},
        {";a;", ";", {"a"}, {"", "a", ""}},
        {";", ";", {}, {"", ""}},
        {";;", ";", {}, {"", "", ""}},
        {" a ; b ", ";", {"a", "b"}, {"a", "b"}},
        // The emptiness test looks at the raw piece: an all-blank piece survives.
        {"a; ;b", ";", {"a", "", "b"}, {"a", "", "b"}},
        {"x.txt;my file.txt", ";", {"x.txt", "my"}, {"x.txt", "my"}},
        // The delimiter is a set of characters, not a substring.
        {"a,b;c", ",;", {"a", "b", "c"}, {"a", "b", "c"}},
        {"a;b", "", {"a;b"}, {"a;b"}},
        {" x y;z", "", {"x"}, {"x"}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sInput = kRows[i].szInput;
        const std::string sDelim = kRows[i].szDelim;
        EXPECT_EQ(kRows[i].vecDropEmpty, SplitStringByChar(sInput, sDelim, false))
            << "row " << i << " input '" << sInput << "'";
        EXPECT_EQ(kRows[i].vecKeepEmpty, SplitStringByChar(sInput, sDelim, true))
            << "row " << i << " input '" << sInput << "' keeping empty pieces";
    }
}

TEST(UtilsTest, ReadableSize) {
    const struct {
        uint64_t dwCount;
        const char* szExpected;
    } kRows[] = {
        {0, "0.00B"},
        {1, "1.00B"},
        {1023, "1023.00B"},
        {1024, "1.00KB"},
        {1025, "1.00KB"},
        {1030, "1.01KB"},
        {1152, "1.12KB"},  // the tie 1.125 rounds to even
        {1536, "1.50KB"},
        {1048575, "1024.00KB"},
        {1048576, "1.00MB"},
        {1049600, "1.00MB"},  // the lowest base-1024 digit is dropped
        {4194303, "4.00MB"},
        {4194304, "4.00MB"},
        {5767168, "5.50MB"},
        {1073741824, "1.00GB"},
        {4294967295ULL, "4.00GB"},
        {4294967296ULL, "4.00GB"},
        {1ULL << 40, "1.00TB"},
        {(1ULL << 40) + (1ULL << 39), "1.50TB"},
        {1ULL << 50, "1024.00TB"},
        {1ULL << 60, "1048576.00TB"},
        {18446744073709551615ULL, "16777216.00TB"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].szExpected, CObjSize::ReadableSize(kRows[i].dwCount))
            << "row " << i << " count " << kRows[i].dwCount;
    }
}

}  // namespace
