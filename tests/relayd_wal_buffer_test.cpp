// The SQLite log's write buffer: whatever a commit's shape, the commit is in the files when
// it returns, for another connection and for a copy of the files taken at that instant (a
// crash), and a write that fails is reported by the commit.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <cstdlib>
#include <string>

#include "relayd/store/sqlite_conn.h"
#include "tests/test_support.h"

using namespace relayd;

namespace {

// The blob stored under id, read through a connection of the system's own file layer.
std::string ReadBack(const std::string& sPath, int64_t llId) {
    sqlite3* pDb = nullptr;
    std::string sData = "<unreadable>";
    if (sqlite3_open_v2(sPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* pStmt = nullptr;
        sqlite3_prepare_v2(pDb, "SELECT data FROM t WHERE id = ?", -1, &pStmt, nullptr);
        sqlite3_bind_int64(pStmt, 1, llId);
        if (sqlite3_step(pStmt) == SQLITE_ROW) {
            sData.assign(static_cast<const char*>(sqlite3_column_blob(pStmt, 0)),
                         static_cast<size_t>(sqlite3_column_bytes(pStmt, 0)));
        } else {
            sData = "<missing>";
        }
        sqlite3_finalize(pStmt);
    }
    sqlite3_close_v2(pDb);
    return sData;
}

std::string Pattern(size_t dwBytes, char cSeed) {
    std::string sData(dwBytes, '\0');
    for (size_t i = 0; i < dwBytes; ++i) {
        sData[i] = static_cast<char>(cSeed + i * 7 % 251);
    }
    return sData;
}

TEST(WalWriteBufferTest, EveryCommitIsInTheFilesWhenItReturns) {
    struct SCase {
        const char* m_szName;
        const char* m_szSynchronous;
        size_t m_dwBytes;  // one blob of this size per commit
        int m_nRewrites;   // rewrites of the blob inside the commit (spilled pages)
    } const aCases[] = {
        {"small, no flush to disk", "NORMAL", 100, 0},
        {"small, flushed", "FULL", 100, 0},
        {"several writes of the system layer's largest size", "FULL", 3 * 128 * 1024, 0},
        {"bigger than the buffer", "NORMAL", 9 << 20, 0},
        {"pages spilled and written again inside the commit", "NORMAL", 1 << 20, 3},
    };
    for (const SCase& oCase : aCases) {
        SCOPED_TRACE(oCase.m_szName);
        test_support::CTempDir oDir;
        const std::string sPath = oDir.Path() + "/t.db";
        std::string sErr;
        std::unique_ptr<CSqliteConn> pConn =
            CSqliteConn::Open(sPath, CSqliteConn::OM_CREATE, 1000, sErr);
        ASSERT_TRUE(pConn != nullptr) << sErr;
        ASSERT_TRUE(pConn->ExecScript(std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                                          oCase.m_szSynchronous +
                                          "; PRAGMA cache_size=8;"
                                          "CREATE TABLE t (id INTEGER PRIMARY KEY, data BLOB);",
                                      sErr))
            << sErr;
        for (int64_t llId = 1; llId <= 3; ++llId) {
            std::string sData;
            ASSERT_TRUE(pConn->ExecScript("BEGIN", sErr)) << sErr;
            for (int iWrite = 0; iWrite <= oCase.m_nRewrites; ++iWrite) {
                sData = Pattern(oCase.m_dwBytes, static_cast<char>(llId * 16 + iWrite));
                ASSERT_TRUE(pConn->Exec("INSERT OR REPLACE INTO t (id, data) VALUES ($1, $2)",
                                        {SSqlParam::Int(llId), SSqlParam::Bytes(sData)}, nullptr,
                                        nullptr, sErr))
                    << sErr;
            }
            ASSERT_TRUE(pConn->ExecScript("COMMIT", sErr)) << sErr;

            EXPECT_TRUE(ReadBack(sPath, llId) == sData) << "another connection, commit " << llId;
            const std::string sCopy = oDir.Path() + "/crash" + std::to_string(llId) + ".db";
            const std::string sCommand =
                "cp '" + sPath + "' '" + sCopy + "' && cp '" + sPath + "-wal' '" + sCopy + "-wal'";
            ASSERT_EQ(std::system(sCommand.c_str()), 0);
            EXPECT_TRUE(ReadBack(sCopy, llId) == sData) << "files copied, commit " << llId;
        }
    }
}

// A log that cannot grow: the commit that needs the space fails, and the store keeps its
// earlier commits.
TEST(WalWriteBufferTest, AWriteThatFailsFailsTheCommit) {
    test_support::CTempDir oDir;
    const std::string sMount = oDir.Path() + "/small";
    ASSERT_EQ(std::system(("mkdir '" + sMount + "'").c_str()), 0);
    if (mount("tmpfs", sMount.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    const std::string sPath = sMount + "/t.db";
    {
        std::string sErr;
        std::unique_ptr<CSqliteConn> pConn =
            CSqliteConn::Open(sPath, CSqliteConn::OM_CREATE, 1000, sErr);
        ASSERT_TRUE(pConn != nullptr) << sErr;
        ASSERT_TRUE(
            pConn->ExecScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                              "CREATE TABLE t (id INTEGER PRIMARY KEY, data BLOB);",
                              sErr))
            << sErr;
        const std::string sSmall = Pattern(1000, 'a');
        ASSERT_TRUE(pConn->Exec("INSERT INTO t (id, data) VALUES (1, $1)",
                                {SSqlParam::Bytes(sSmall)}, nullptr, nullptr, sErr))
            << sErr;
        const std::string sHuge = Pattern(3 << 20, 'b');
        EXPECT_FALSE(pConn->Exec("INSERT INTO t (id, data) VALUES (2, $1)",
                                 {SSqlParam::Bytes(sHuge)}, nullptr, nullptr, sErr));
        EXPECT_NE(sErr.find("full"), std::string::npos) << sErr;
        EXPECT_TRUE(ReadBack(sPath, 1) == sSmall);
        EXPECT_EQ(ReadBack(sPath, 2), "<missing>");
    }
    umount2(sMount.c_str(), MNT_DETACH);
}

}  // namespace
