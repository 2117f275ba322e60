// The request/reply package: header layout and byte order, body encoding, reloading a
// reply; and the texts of the server's result codes.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "fanout_client/pkg_define.h"
#include "fanout_client/pkg_errmsg.h"

namespace {

std::string Bytes(const MSG_PKG& oPkg) {
    return std::string(oPkg.data(), oPkg.size());
}

// A string field as the requests append it: length, then bytes.
void AppendField(MSG_PKG& oPkg, const std::string& sValue) {
    oPkg << static_cast<uint32_t>(sValue.size()) << sValue;
}

}  // namespace

TEST(Package, NewPackageIsABareZeroHeader) {
    const MSG_PKG oPkg;
    EXPECT_EQ(oPkg.size(), 43);
    EXPECT_EQ(Bytes(oPkg), std::string(43, '\0'));
    EXPECT_EQ(oPkg.str(), Bytes(oPkg));
}

TEST(Package, HeaderFieldsSitAtTheirOffsetsBigEndian) {
    MSG_PKG oPkg;
    oPkg.head().set_cmd(0xA1);
    oPkg.head().set_pkg_type(1);
    oPkg.head().set_client_version(0xC3);
    oPkg.head().set_timestamp(258);
    oPkg.head().set_result(5);
    const std::string sExpect =
        std::string("\xA1\x01\xC3\x00\x00\x01\x02\x00\x00\x00\x05", 11) + std::string(32, '\0');
    EXPECT_EQ(Bytes(oPkg), sExpect);
    EXPECT_EQ(oPkg.head().cmd(), 0xA1);
    EXPECT_EQ(oPkg.head().pkg_type(), 1);
    EXPECT_EQ(oPkg.head().client_version(), 0xC3);
    EXPECT_EQ(oPkg.head().timestamp(), 258u);
    EXPECT_EQ(oPkg.head().result(), 5u);

    oPkg.head().set_result(0xFFFFFFFEu);
    EXPECT_EQ(Bytes(oPkg).substr(7, 4), "\xFF\xFF\xFF\xFE");
    EXPECT_EQ(oPkg.head().result(), 0xFFFFFFFEu);
}

TEST(Package, BodyAppends) {
    MSG_PKG oPkg;
    const std::string sWithZeros("a\0b\0", 4);
    oPkg << 0u << 258u << std::string() << sWithZeros;
    EXPECT_EQ(Bytes(oPkg).substr(43), std::string("\x00\x00\x00\x00\x00\x00\x01\x02"
                                                  "a\0b\0",
                                                  12));
    EXPECT_EQ(oPkg.size(), 55);
}

TEST(Package, ReserveKeepsTheBytes) {
    MSG_PKG oPkg;
    oPkg << 7u;
    const std::string sBefore = Bytes(oPkg);
    oPkg.Reserve(1 << 20);
    EXPECT_EQ(Bytes(oPkg), sBefore);
    oPkg << 8u;
    EXPECT_EQ(oPkg.size(), 51);
}

TEST(Package, SmsWorkedExample) {
    MSG_PKG oPkg;
    oPkg.head().set_cmd(1);
    oPkg.head().set_pkg_type(0);
    oPkg.head().set_client_version(1);
    oPkg.head().set_timestamp(0x5F3A1B2Cu);
    oPkg.head().set_result(0);
    AppendField(oPkg, "");
    AppendField(oPkg, "im_server");
    AppendField(oPkg, "u1");
    AppendField(oPkg, "");
    AppendField(oPkg, "hi");

    const std::string sExpect = std::string("\x01\x00\x01\x5F\x3A\x1B\x2C\x00\x00\x00\x00", 11) +
                                std::string(32, '\0') +
                                std::string(
                                    "\x00\x00\x00\x00"
                                    "\x00\x00\x00\x09"
                                    "im_server"
                                    "\x00\x00\x00\x02"
                                    "u1"
                                    "\x00\x00\x00\x00"
                                    "\x00\x00\x00\x02"
                                    "hi",
                                    33);
    EXPECT_EQ(oPkg.size(), 76);
    EXPECT_EQ(Bytes(oPkg), sExpect);
}

TEST(Package, SetPkgDataLoadsAReply) {
    MSG_PKG oPkg;
    oPkg << 99u;
    std::string sReply(43, '\0');
    sReply[1] = 1;
    sReply[10] = 2;
    sReply += std::string("\0body\0", 6);
    oPkg.SetPkgData(sReply);
    EXPECT_EQ(Bytes(oPkg), sReply);
    EXPECT_EQ(oPkg.size(), 49);
    EXPECT_EQ(oPkg.head().pkg_type(), 1);
    EXPECT_EQ(oPkg.head().result(), 2u);
}

// Times from a calendar date, as the C library converts them: past January 2038 only
// with a 64-bit time_t.
TEST(Package, TimestampPast2038) {
    const struct {
        int iYear, iMonth, iDay, iHour, iMinute, iSecond;
        uint32_t dwStamp;
    } kCases[] = {
        {1970, 1, 1, 0, 0, 0, 0},
        {2026, 12, 7, 0, 0, 0, 1796601600u},
        {2038, 1, 19, 3, 14, 7, 2147483647u},
        {2038, 1, 19, 3, 14, 8, 2147483648u},
        {2040, 1, 1, 0, 0, 0, 2208988800u},
        {2106, 2, 7, 6, 28, 15, 4294967295u},
        {2106, 2, 7, 6, 28, 16, 0},
    };
    for (const auto& oCase : kCases) {
        tm oTm = {};
        oTm.tm_year = oCase.iYear - 1900;
        oTm.tm_mon = oCase.iMonth - 1;
        oTm.tm_mday = oCase.iDay;
        oTm.tm_hour = oCase.iHour;
        oTm.tm_min = oCase.iMinute;
        oTm.tm_sec = oCase.iSecond;
        EXPECT_EQ(PkgTimestamp(timegm(&oTm)), oCase.dwStamp) << "year " << oCase.iYear;
    }
}

TEST(PkgErrMsg, TextPerResultCode) {
    const struct {
        uint32_t dwCode;
        const char* szText;
    } kCases[] = {
        {0, "Unknown problem!"},
        {1, "Unauthorized client IP. "},
        {2, "Invalid parameter. Please make sure your input parameter is all right."},
        {3, "Remote web-service called, but return error!"},
        {4, "Pkg tackle failed! Maybe the pkg isn't integrate."},
        {5, "System key verify failed! Please check!"},
        {6, "Unknown problem!"},
        {4294967295u, "Unknown problem!"},
    };
    for (const auto& oCase : kCases) {
        EXPECT_EQ(GetPkgErrMsg(oCase.dwCode), oCase.szText) << "code " << oCase.dwCode;
    }
}
