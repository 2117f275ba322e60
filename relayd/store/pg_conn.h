// A PostgreSQL connection that fails fast and heals itself: every statement has a time
// limit (the connection is dropped when the server does not answer within it), and a
// dropped connection is made again on a later call, no sooner than a growing back-off
// allows, so a database that is down costs callers no waiting.
#ifndef RELAYD_STORE_PG_CONN_H
#define RELAYD_STORE_PG_CONN_H

#include <map>
#include <memory>
#include <string>

#include "relayd/store/sql_conn.h"

struct pg_conn;

namespace relayd {

class CPgConn : public ISqlConn {
public:
    ~CPgConn() override;
    CPgConn(const CPgConn&) = delete;
    CPgConn& operator=(const CPgConn&) = delete;

    // Connects to sUrl ("postgresql://user@host:port/db?..."); each statement, and the
    // connecting itself, gets at most iTimeoutMs.
    static std::unique_ptr<CPgConn> Connect(const std::string& sUrl, int iTimeoutMs,
                                            std::string& sErrMsg);
    // A new time limit, for this connection and the ones that replace it.
    bool SetTimeout(int iTimeoutMs, std::string& sErrMsg);

    bool Exec(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
              std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged, std::string& sErrMsg) override;
    bool Insert(const std::string& sSql, const std::vector<SSqlParam>& vecParams, int64_t& llId,
                std::string& sErrMsg) override;
    bool ExecScript(const std::string& sSql, std::string& sErrMsg) override;
    bool LastFailureRetryable() const override { return m_bRetryable; }

private:
    CPgConn(const std::string& sUrl, int iTimeoutMs) : m_sUrl(sUrl), m_iTimeoutMs(iTimeoutMs) {}
    bool Open(std::string& sErrMsg);
    bool EnsureOpen(std::string& sErrMsg);
    void Drop();
    // Sends what is queued (nSentBytes in all) and collects every result of the statement
    // sent last.
    bool Finish(size_t nSentBytes, std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged,
                std::string& sErrMsg);
    bool Wait(bool bWrite, int64_t llDeadlineMs, std::string& sErrMsg);
    // The name of sSql prepared on this connection (vecTypes: the parameters' type oids).
    bool Prepare(const std::string& sSql, const std::vector<unsigned int>& vecTypes,
                 std::string& sName, std::string& sErrMsg);

    std::string m_sUrl;
    int m_iTimeoutMs;
    pg_conn* m_pConn = nullptr;  // null while dropped
    bool m_bRetryable = false;
    int64_t m_llNextTryMs = 0;  // no new connection before this (steady clock)
    int64_t m_llBackoffMs = 0;
    std::string m_sLastFailure;
    std::map<std::string, std::string> m_mapPrepared;  // SQL text to statement name
    uint64_t m_ddwPrepared = 0;
};

}  // namespace relayd

#endif  // RELAYD_STORE_PG_CONN_H
