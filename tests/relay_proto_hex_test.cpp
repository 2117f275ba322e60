// Hex digits both ways (relay_proto/hex): the relay's digests and key ids, the web
// pages' token cookie, the simulator's raw replies.
#include <gtest/gtest.h>

#include <string>

#include "relay_proto/hex.h"

namespace {

TEST(RelayProtoHex, EncodesInEitherCase) {
    EXPECT_EQ(relay_proto::HexEncode(""), "");
    EXPECT_EQ(relay_proto::HexEncode("xy"), "7879");
    EXPECT_EQ(relay_proto::HexEncode(std::string("\0\xff\xe6", 3)), "00ffe6");
    EXPECT_EQ(relay_proto::HexEncode(std::string("\0\xff\xe6", 3), relay_proto::HEX_UPPER),
              "00FFE6");
}

TEST(RelayProtoHex, DecodesOnlyPairsOfDigits) {
    const struct {
        const char* szHex;
        bool bOk;
        std::string sBytes;
    } kRows[] = {
        {"", true, ""},
        {"7879", true, "xy"},
        {"E6a5", true, "\xe6\xa5"},
        {"00ff", true, std::string("\0\xff", 2)},
        {"787", false, ""},
        {"7g", false, ""},
        {"%41", false, ""},
        {"+7", false, ""},
        {"-7", false, ""},
        {" 7", false, ""},
        {"0x", false, ""},
    };
    for (const auto& oRow : kRows) {
        std::string sBytes = "unchanged";
        EXPECT_EQ(relay_proto::HexDecode(oRow.szHex, sBytes), oRow.bOk) << oRow.szHex;
        EXPECT_EQ(sBytes, oRow.bOk ? oRow.sBytes : "unchanged") << oRow.szHex;
    }
}

}  // namespace
