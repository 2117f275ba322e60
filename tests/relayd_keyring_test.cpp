// The key ring (relayd/store/keyring): the file's keys first, then the store's; a key of
// the file shadows a stored key of the same id.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "relayd/store/keyring.h"
#include "relayd/store/store.h"
#include "tests/test_support.h"

namespace {

relayd::SKey Key(const std::string& sId, std::vector<std::string> vecReceivers = {}) {
    relayd::SKey oKey;
    oKey.m_sId = sId;
    oKey.m_vecReceivers = vecReceivers;
    oKey.m_eSource = relayd::KS_CONFIG;
    return oKey;
}

TEST(RelaydKeyRing, FindsTheFilesKeysWithoutAStore) {
    const relayd::CKeyRing oRing({Key("a", {"alice"}), Key("b")}, nullptr);
    struct SRow {
        const char* m_szId;
        bool m_bFound;
    } const kRows[] = {{"a", true}, {"b", true}, {"c", false}, {"", false}, {"A", false}};
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        relayd::SKey oKey;
        bool bFound = !kRows[i].m_bFound;
        std::string sErrMsg;
        ASSERT_TRUE(oRing.Find(kRows[i].m_szId, oKey, bFound, sErrMsg)) << "row " << i;
        EXPECT_EQ(bFound, kRows[i].m_bFound) << "row " << i;
        if (bFound) {
            EXPECT_EQ(oKey.m_sId, kRows[i].m_szId) << "row " << i;
        }
    }
}

TEST(RelaydKeyRing, TheFilesKeyShadowsAStoredOne) {
    test_support::CTempDir oDir;
    std::string sErrMsg;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(oDir.Path() + "/keys.db", sErrMsg);
    ASSERT_TRUE(pStore) << sErrMsg;
    for (const char* szId : {"shared", "api"}) {
        relayd::SKey oKey = Key(szId, {"from-store"});
        oKey.m_eSource = relayd::KS_API;
        relayd::CHANGE_RESULT eResult = relayd::CR_CONFLICT;
        ASSERT_TRUE(pStore->InsertKey(oKey, eResult, sErrMsg)) << sErrMsg;
    }
    const relayd::CKeyRing oRing({Key("shared", {"from-file"}), Key("file")}, pStore.get());
    struct SRow {
        const char* m_szId;
        bool m_bFromFile;
        const char* m_szReceiver;  // "" when there is no such key
    } const kRows[] = {
        {"shared", true, "from-file"},
        {"file", true, ""},
        {"api", false, "from-store"},
        {"none", false, ""},
    };
    for (const SRow& oRow : kRows) {
        EXPECT_EQ(oRing.FromFile(oRow.m_szId), oRow.m_bFromFile) << oRow.m_szId;
        relayd::SKey oKey;
        bool bFound = false;
        ASSERT_TRUE(oRing.Find(oRow.m_szId, oKey, bFound, sErrMsg)) << sErrMsg;
        EXPECT_EQ(bFound, std::string(oRow.m_szId) != "none") << oRow.m_szId;
        const std::vector<std::string> vecExpected =
            oRow.m_szReceiver[0] == '\0' ? std::vector<std::string>{}
                                         : std::vector<std::string>{oRow.m_szReceiver};
        if (bFound) {
            EXPECT_EQ(oKey.m_vecReceivers, vecExpected) << oRow.m_szId;
        }
    }
}

// A reload replaces the file's keys: a removed one is gone (or shows the stored key it
// shadowed), a new one is found, and the list keeps the file's order.
TEST(RelaydKeyRing, ReplaceTakesTheReloadedFilesKeys) {
    test_support::CTempDir oDir;
    std::string sErrMsg;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(oDir.Path() + "/keys.db", sErrMsg);
    ASSERT_TRUE(pStore) << sErrMsg;
    relayd::SKey oStored = Key("shared", {"from-store"});
    oStored.m_eSource = relayd::KS_API;
    relayd::CHANGE_RESULT eResult = relayd::CR_CONFLICT;
    ASSERT_TRUE(pStore->InsertKey(oStored, eResult, sErrMsg)) << sErrMsg;
    relayd::CKeyRing oRing({Key("shared", {"from-file"}), Key("old")}, pStore.get());
    oRing.Replace({Key("new2"), Key("new1")});
    struct SRow {
        const char* m_szId;
        bool m_bFromFile;
        bool m_bFound;
    } const kRows[] = {
        {"old", false, false},
        {"new1", true, true},
        {"shared", false, true},  // the stored key, no longer shadowed
    };
    for (const SRow& oRow : kRows) {
        EXPECT_EQ(oRing.FromFile(oRow.m_szId), oRow.m_bFromFile) << oRow.m_szId;
        relayd::SKey oKey;
        bool bFound = false;
        ASSERT_TRUE(oRing.Find(oRow.m_szId, oKey, bFound, sErrMsg)) << sErrMsg;
        EXPECT_EQ(bFound, oRow.m_bFound) << oRow.m_szId;
    }
    const std::vector<relayd::SKey> vecKeys = oRing.ConfigKeys();
    ASSERT_EQ(2u, vecKeys.size());
    EXPECT_EQ("new2", vecKeys[0].m_sId);
    EXPECT_EQ("new1", vecKeys[1].m_sId);
}

}  // namespace
