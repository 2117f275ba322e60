// The byte rules of a request's text (relayd/record/text_rules): names and name lists,
// blanks, and text for log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fanout_client/options.h"  // the client's CheckNameListValidity
#include "relayd/record/text_rules.h"

namespace {

// The relay takes exactly the receiver lists the client lets through.
TEST(RelaydTextRules, NameListsAgreeWithTheClient) {
    std::vector<std::string> vecLists = {"",
                                         ";",
                                         "a;;b;",
                                         "alice",
                                         "Bob_9-x",
                                         "a b",
                                         "a.b",
                                         "a@b",
                                         "a,b",
                                         "caf\xc3\xa9",
                                         std::string("a\0b", 3)};
    for (int c = 0; c < 256; ++c) {
        vecLists.push_back(std::string(1, static_cast<char>(c)));
        vecLists.push_back("ab" + std::string(1, static_cast<char>(c)) + "cd");
    }
    for (size_t i = 0; i < vecLists.size(); ++i) {
        EXPECT_EQ(relayd::IsNameListValid(vecLists[i]), CheckNameListValidity(vecLists[i]))
            << "row " << i << " '" << relayd::QuoteForLog(vecLists[i]) << "'";
    }
}

TEST(RelaydTextRules, SplitDropsEmptyNames) {
    struct SRow {
        const char* m_szList;
        std::vector<std::string> m_vecNames;
    } const kRows[] = {
        {"", {}},
        {";;;", {}},
        {"alice", {"alice"}},
        {"alice;bob", {"alice", "bob"}},
        {";alice;;bob;", {"alice", "bob"}},
        {"a;a", {"a", "a"}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(relayd::SplitNameList(kRows[i].m_szList), kRows[i].m_vecNames) << "row " << i;
    }
    EXPECT_EQ(relayd::JoinNameList({"a", "b"}), "a;b");
    EXPECT_EQ(relayd::JoinNameList({}), "");
}

TEST(RelaydTextRules, QuoteForLog) {
    EXPECT_EQ(relayd::QuoteForLog("key-1"), "key-1");
    EXPECT_EQ(relayd::QuoteForLog(std::string("a\0\n\\\xff", 5)), "a\\x00\\x0A\\x5C\\xFF");
    EXPECT_EQ(relayd::QuoteForLog("abcdef", 3), "abc...");
}

TEST(RelaydTextRules, NamesAndTheirBytes) {
    struct SRow {
        const char* m_szName;
        bool m_bName;
    } const kRows[] = {
        {"alice", true}, {"Bob_9-x", true}, {"-", true},    {"", false},
        {"a;b", false},  {"a.b", false},    {"a b", false}, {"caf\xc3\xa9", false},
    };
    for (const SRow& oRow : kRows) {
        EXPECT_EQ(relayd::IsName(oRow.m_szName), oRow.m_bName) << "'" << oRow.m_szName << "'";
        // Every name is also a valid one-name list.
        EXPECT_TRUE(!oRow.m_bName || relayd::IsNameListValid(oRow.m_szName)) << oRow.m_szName;
    }
}

TEST(RelaydTextRules, TrimBlanks) {
    struct SRow {
        const char* m_szText;
        const char* m_szTrimmed;
    } const kRows[] = {
        {"", ""},          {" \t ", ""},     {"a", "a"},
        {" a b\t", "a b"}, {"\ta\n", "a\n"},  // a line break is no blank
    };
    for (const SRow& oRow : kRows) {
        EXPECT_EQ(relayd::TrimBlanks(oRow.m_szText), oRow.m_szTrimmed) << oRow.m_szText;
    }
}

}  // namespace
