#include "tests/store_test_backends.h"

#include <gtest/gtest.h>

#include "relayd/sqlite_conn.h"
#include "tests/test_support.h"

namespace {

// SQLite files in one temporary folder for the whole test program.
class CSqliteBackend : public IBackend {
public:
    bool Available() override { return true; }
    std::string SkipReason() const override { return std::string(); }
    std::string NewStoreUrl() override {
        static test_support::CTempDir s_oDir;
        static int s_nStores = 0;
        return s_oDir.Path() + "/store-" + std::to_string(++s_nStores) + ".db";
    }
    void Exec(const std::string& sUrl, const std::string& sSql) override {
        std::string sErr;
        std::unique_ptr<relayd::CSqliteConn> pConn = relayd::CSqliteConn::Open(sUrl, 1000, sErr);
        ASSERT_TRUE(pConn != nullptr) << sErr;
        ASSERT_TRUE(pConn->ExecScript(sSql, sErr)) << sErr;
    }
};

}  // namespace

std::vector<BACKEND> AllBackends() {
    return {BK_SQLITE};
}

const char* BackendName(BACKEND eBackend) {
    return eBackend == BK_SQLITE ? "SQLite" : "PostgreSQL";
}

std::unique_ptr<IBackend> MakeBackend(BACKEND eBackend) {
    (void)eBackend;
    return std::unique_ptr<IBackend>(new CSqliteBackend());
}
