// A SQLite database connection: the handle and its prepared statements, closed together.
#ifndef RELAYD_STORE_SQLITE_CONN_H
#define RELAYD_STORE_SQLITE_CONN_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relayd/store/sql_conn.h"

struct sqlite3;
struct sqlite3_stmt;

namespace relayd {

class CSqliteConn : public ISqlConn {
public:
    ~CSqliteConn() override;
    CSqliteConn(const CSqliteConn&) = delete;
    CSqliteConn& operator=(const CSqliteConn&) = delete;

    enum OPEN_MODE {
        OM_CREATE,     // read and write; a missing file is created, readable by its owner only
        OM_EXISTING,   // read and write; a missing file is an error
        OM_READ_ONLY,  // read only; a missing file is an error
    };

    // Opens the database file sPath; a lock held by another connection is waited for up to
    // iBusyTimeoutMs.
    static std::unique_ptr<CSqliteConn> Open(const std::string& sPath, OPEN_MODE eMode,
                                             int iBusyTimeoutMs, std::string& sErrMsg);

    bool Exec(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
              std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged, std::string& sErrMsg) override;
    bool Insert(const std::string& sSql, const std::vector<SSqlParam>& vecParams, int64_t& llId,
                std::string& sErrMsg) override;
    bool ExecScript(const std::string& sSql, std::string& sErrMsg) override;
    bool LastFailureRetryable() const override { return false; }
    // True when SQLite opened the file read-only (it lacks write permission).
    bool IsReadOnly() const;

    // The first column of the first row a statement without parameters returns, as text
    // ("" when there is none): for reading pragmas back.
    bool QueryText(const std::string& sSql, std::string& sValue, std::string& sErrMsg);

private:
    // A prepared statement and where each of its parameters $1, $2, ... sits: SQLite
    // numbers named parameters by first appearance, so the order is looked up once.
    struct SStatement {
        sqlite3_stmt* m_pStmt = nullptr;
        std::vector<int> m_vecSlots;  // [k]: SQLite's index of $k+1, 0 when absent
    };

    explicit CSqliteConn(sqlite3* pDb) : m_pDb(pDb) {}
    const SStatement* Prepare(const std::string& sSql, std::string& sErrMsg);
    bool Bind(const SStatement& oStmt, const std::vector<SSqlParam>& vecParams,
              std::string& sErrMsg);
    std::string Failure(const char* szWhat) const;

    sqlite3* m_pDb;
    std::map<std::string, SStatement> m_mapStatements;  // by SQL text
};

}  // namespace relayd

#endif  // RELAYD_STORE_SQLITE_CONN_H
