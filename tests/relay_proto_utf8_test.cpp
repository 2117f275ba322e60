// Well-formed UTF-8 (relay_proto/utf8): where it starts and ends, and agreement with the
// JSON writer the relay's records go through.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "relay_proto/hex.h"
#include "relay_proto/utf8.h"

namespace {

TEST(RelayProtoUtf8, Boundaries) {
    struct SRow {
        std::string m_sText;
        bool m_bValid;
    } const kRows[] = {
        {"", true},
        {"plain", true},
        {std::string("nul\0inside", 10), true},
        {"\x7f", true},
        {"\xc2\x80", true},          // U+0080, first two-byte value
        {"\xdf\xbf", true},          // U+07FF
        {"\xe0\xa0\x80", true},      // U+0800
        {"\xed\x9f\xbf", true},      // U+D7FF, last before the surrogates
        {"\xee\x80\x80", true},      // U+E000
        {"\xef\xbf\xbf", true},      // U+FFFF
        {"\xf0\x90\x80\x80", true},  // U+10000
        {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF
        {"\xe4\xbd\xa0\xe5\xa5\xbd", true},
        {"\x80", false},              // stray continuation byte
        {"\xc0\x80", false},          // overlong NUL
        {"\xc1\xbf", false},          // overlong
        {"\xe0\x9f\xbf", false},      // overlong three-byte
        {"\xed\xa0\x80", false},      // U+D800, a surrogate
        {"\xed\xbf\xbf", false},      // U+DFFF
        {"\xf0\x8f\xbf\xbf", false},  // overlong four-byte
        {"\xf4\x90\x80\x80", false},  // U+110000
        {"\xf5\x80\x80\x80", false},
        {"\xff", false},
        {"\xc3", false},          // cut
        {"\xe4\xbd", false},      // cut
        {"\xf0\x90\x80", false},  // cut
        {"\xc3\x28", false},      // bad continuation
        {"\xe4\x28\xa0", false},
        {"ok\xb2\xe2", false},  // GBK bytes
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(relay_proto::IsValidUtf8(kRows[i].m_sText), kRows[i].m_bValid)
            << "row " << i << " '" << relay_proto::HexEncode(kRows[i].m_sText) << "'";
    }
}

// Whatever intake accepts as UTF-8 can be written as JSON (the record, the API) and
// nothing else: every one- and two-byte string, and three- and four-byte strings over
// every lead and second byte, judged by the JSON library's own strict writer.
TEST(RelayProtoUtf8, AgreesWithTheJsonWriter) {
    // Invalid bytes are dropped by one handler and replaced by the other, so the two
    // agree exactly on the texts the strict writer takes (without its exceptions' cost).
    auto JsonAccepts = [](const std::string& sText) {
        typedef nlohmann::json::error_handler_t HANDLER;
        const nlohmann::json oJson(sText);
        return oJson.dump(-1, ' ', false, HANDLER::ignore) ==
               oJson.dump(-1, ' ', false, HANDLER::replace);
    };
    std::vector<std::string> vecTexts;
    for (int a = 0; a < 256; ++a) {
        vecTexts.push_back(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) {
            const std::string sTwo = {static_cast<char>(a), static_cast<char>(b)};
            vecTexts.push_back(sTwo);
            if (a >= 0xE0) {
                vecTexts.push_back(sTwo + "\x80");
                vecTexts.push_back(sTwo + "\xbf");
                vecTexts.push_back(sTwo + "\x80\x80");
                vecTexts.push_back(sTwo + "\xbf\xbf");
                vecTexts.push_back(sTwo + "\x7f\x80");
            }
        }
    }
    size_t nMismatches = 0;
    for (const std::string& sText : vecTexts) {
        if (relay_proto::IsValidUtf8(sText) != JsonAccepts(sText) && ++nMismatches <= 10) {
            ADD_FAILURE() << "'" << relay_proto::HexEncode(sText) << "'";
        }
    }
    EXPECT_EQ(nMismatches, 0u);
}

}  // namespace
