#include "tests/store_test_backends.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <fstream>

#include "relayd/store/sqlite_conn.h"
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
        std::unique_ptr<relayd::CSqliteConn> pConn =
            relayd::CSqliteConn::Open(sUrl, relayd::CSqliteConn::OM_EXISTING, 1000, sErr);
        ASSERT_TRUE(pConn != nullptr) << sErr;
        ASSERT_TRUE(pConn->ExecScript(sSql, sErr)) << sErr;
    }
};

void PgExec(const std::string& sUrl, const std::string& sSql) {
    PGconn* pConn = PQconnectdb(sUrl.c_str());
    PGresult* pResult = PQexec(pConn, sSql.c_str());
    const ExecStatusType eStatus = PQresultStatus(pResult);
    EXPECT_TRUE(eStatus == PGRES_COMMAND_OK || eStatus == PGRES_TUPLES_OK)
        << sSql << ": " << PQerrorMessage(pConn);
    PQclear(pResult);
    PQfinish(pConn);
}

std::string ReadLine(const std::string& sPath) {
    std::ifstream ifs(sPath);
    std::string sLine;
    std::getline(ifs, sLine);
    return sLine;
}

// The PostgreSQL server the tests use: FANOUT_TEST_PG_URL; else the cluster CTest started
// (FANOUT_TEST_PG_STATE, the state folder of tools/pg_cluster.sh); else one this program
// starts through the script and stops when it exits.
class CPgServer {
public:
    static CPgServer& Get() {
        static CPgServer s_oServer;
        return s_oServer;
    }
    ~CPgServer() {
        if (!m_sOwnState.empty()) {
            test_support::RunProgram({FANOUT_PG_CLUSTER_SCRIPT, "stop", m_sOwnState}, 60000);
        }
    }
    const std::string& Url() const { return m_sUrl; }
    const std::string& Problem() const { return m_sProblem; }

private:
    CPgServer() {
        const char* szUrl = getenv("FANOUT_TEST_PG_URL");
        const char* szState = getenv("FANOUT_TEST_PG_STATE");
        if (szUrl != nullptr && *szUrl != '\0') {
            m_sUrl = szUrl;
            return;
        }
        if (szState != nullptr && *szState != '\0') {
            m_sUrl = ReadLine(std::string(szState) + "/url");
        }
        if (!m_sUrl.empty()) {
            return;
        }
        if (access(FANOUT_PG_BIN "/postgres", X_OK) != 0) {
            m_sProblem = "PostgreSQL server binaries not found: skipping";
            return;
        }
        m_sOwnState = m_oDir.Path() + "/cluster";
        const test_support::SRunResult oRun =
            test_support::RunProgram({FANOUT_PG_CLUSTER_SCRIPT, "start", m_sOwnState}, 90000);
        m_sUrl = oRun.iExitStatus == 0 ? ReadLine(m_sOwnState + "/url") : std::string();
        if (m_sUrl.empty()) {
            m_sProblem = "cannot start a PostgreSQL cluster: " + oRun.sStdout + oRun.sStderr;
        }
    }

    test_support::CTempDir m_oDir;
    std::string m_sOwnState;
    std::string m_sUrl;
    std::string m_sProblem;
};

// The URL sUrl with its database name replaced by sDatabase.
std::string WithDatabase(const std::string& sUrl, const std::string& sDatabase) {
    const size_t nPath = sUrl.find('/', sUrl.find("://") + 3);
    const size_t nQuery = sUrl.find('?');
    const std::string sQuery = nQuery == std::string::npos ? "" : sUrl.substr(nQuery);
    return sUrl.substr(0, nPath) + "/" + sDatabase + sQuery;
}

// A database of its own for each test, dropped at the end.
class CPgBackend : public IBackend {
public:
    ~CPgBackend() override {
        for (const std::string& sDatabase : m_vecDatabases) {
            PgExec(CPgServer::Get().Url(), "DROP DATABASE " + sDatabase + " WITH (FORCE)");
        }
    }
    bool Available() override { return !CPgServer::Get().Url().empty(); }
    std::string SkipReason() const override { return CPgServer::Get().Problem(); }
    std::string NewStoreUrl() override {
        static int s_nDatabases = 0;
        const std::string sDatabase =
            "fanout_test_" + std::to_string(getpid()) + "_" + std::to_string(++s_nDatabases);
        PgExec(CPgServer::Get().Url(), "CREATE DATABASE " + sDatabase);
        m_vecDatabases.push_back(sDatabase);
        return WithDatabase(CPgServer::Get().Url(), sDatabase);
    }
    void Exec(const std::string& sUrl, const std::string& sSql) override { PgExec(sUrl, sSql); }

private:
    std::vector<std::string> m_vecDatabases;
};

}  // namespace

std::vector<int> PgRelayBackendPids(const std::string& sUrl) {
    PGconn* pConn = PQconnectdb(sUrl.c_str());
    PGresult* pResult = PQexec(pConn,
                               "SELECT pid FROM pg_stat_activity WHERE datname = "
                               "current_database() AND application_name = 'fanout_relayd'");
    std::vector<int> vecPids;
    for (int i = 0; i < PQntuples(pResult); ++i) {
        vecPids.push_back(atoi(PQgetvalue(pResult, i, 0)));
    }
    PQclear(pResult);
    PQfinish(pConn);
    return vecPids;
}

std::vector<BACKEND> AllBackends() {
    return {BK_SQLITE, BK_POSTGRES};
}

const char* BackendName(BACKEND eBackend) {
    return eBackend == BK_SQLITE ? "SQLite" : "PostgreSQL";
}

std::unique_ptr<IBackend> MakeBackend(BACKEND eBackend) {
    if (eBackend == BK_POSTGRES) {
        return std::unique_ptr<IBackend>(new CPgBackend());
    }
    return std::unique_ptr<IBackend>(new CSqliteBackend());
}
