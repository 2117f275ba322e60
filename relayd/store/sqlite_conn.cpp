#include "relayd/store/sqlite_conn.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "relayd/store/wal_write_buffer.h"

namespace relayd {

namespace {

const size_t kMaxCachedStatements = 64;
const char* const kInMemory = ":memory:";  // SQLite's name for a database in memory, not a file
const size_t kMaxParameters = 32766;       // SQLite's own default bound

// Resets a statement when the call using it ends, whichever way.
class CStmtReset {
public:
    explicit CStmtReset(sqlite3_stmt* pStmt) : m_pStmt(pStmt) {}
    ~CStmtReset() {
        sqlite3_reset(m_pStmt);
        sqlite3_clear_bindings(m_pStmt);
    }
    CStmtReset(const CStmtReset&) = delete;
    CStmtReset& operator=(const CStmtReset&) = delete;

private:
    sqlite3_stmt* m_pStmt;
};

void ReadRow(sqlite3_stmt* pStmt, SqlRow& vecRow) {
    const int nColumns = sqlite3_column_count(pStmt);
    vecRow.resize(static_cast<size_t>(nColumns));
    for (int i = 0; i < nColumns; ++i) {
        SSqlCell& oCell = vecRow[static_cast<size_t>(i)];
        const int eType = sqlite3_column_type(pStmt, i);
        oCell.m_bNull = eType == SQLITE_NULL;
        if (eType == SQLITE_INTEGER || eType == SQLITE_FLOAT) {
            oCell.m_llValue = sqlite3_column_int64(pStmt, i);
        } else if (eType != SQLITE_NULL) {
            const void* pData = sqlite3_column_blob(pStmt, i);
            const int nBytes = sqlite3_column_bytes(pStmt, i);
            oCell.m_sValue.assign(static_cast<const char*>(pData), static_cast<size_t>(nBytes));
        }
    }
}

}  // namespace

CSqliteConn::~CSqliteConn() {
    for (auto& oEntry : m_mapStatements) {
        sqlite3_finalize(oEntry.second.m_pStmt);
    }
    sqlite3_close_v2(m_pDb);
}

// static
std::unique_ptr<CSqliteConn> CSqliteConn::Open(const std::string& sPath, OPEN_MODE eMode,
                                               int iBusyTimeoutMs, std::string& sErrMsg) {
    if (eMode == OM_CREATE && sPath != kInMemory) {
        // Created here, not by SQLite, to be private from the start: the messages are
        // nobody else's business. SQLite gives its -wal and -shm files this file's mode.
        const int iFd = open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (iFd >= 0) {
            close(iFd);
        }
    }
    const int iFlags = eMode == OM_READ_ONLY ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    sqlite3* pDb = nullptr;
    const int iRc =
        sqlite3_open_v2(sPath.c_str(), &pDb, iFlags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                        WalWriteBufferVfs());
    if (iRc != SQLITE_OK) {
        sErrMsg = std::string("cannot open the file: ") +
                  (pDb != nullptr ? sqlite3_errmsg(pDb) : sqlite3_errstr(iRc));
        sqlite3_close_v2(pDb);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb, iBusyTimeoutMs);
    return std::unique_ptr<CSqliteConn>(new CSqliteConn(pDb));
}

bool CSqliteConn::IsReadOnly() const {
    return sqlite3_db_readonly(m_pDb, "main") == 1;
}

std::string CSqliteConn::Failure(const char* szWhat) const {
    return std::string(szWhat) + ": " + sqlite3_errmsg(m_pDb);
}

const CSqliteConn::SStatement* CSqliteConn::Prepare(const std::string& sSql, std::string& sErrMsg) {
    auto it = m_mapStatements.find(sSql);
    if (it != m_mapStatements.end()) {
        return &it->second;
    }
    // Statements built per call (lists of ids) would pile up: start afresh past a bound.
    if (m_mapStatements.size() >= kMaxCachedStatements) {
        for (auto& oEntry : m_mapStatements) {
            sqlite3_finalize(oEntry.second.m_pStmt);
        }
        m_mapStatements.clear();
    }
    SStatement oStmt;
    if (sqlite3_prepare_v3(m_pDb, sSql.c_str(), static_cast<int>(sSql.size()),
                           SQLITE_PREPARE_PERSISTENT, &oStmt.m_pStmt, nullptr) != SQLITE_OK) {
        sErrMsg = Failure("SQLite statement");
        return nullptr;
    }
    const int nSlots = sqlite3_bind_parameter_count(oStmt.m_pStmt);
    for (int iSlot = 1; iSlot <= nSlots; ++iSlot) {
        const char* szName = sqlite3_bind_parameter_name(oStmt.m_pStmt, iSlot);
        size_t dwNumber = 0;
        if (szName == nullptr || szName[0] != '$' ||
            std::from_chars(szName + 1, szName + strlen(szName), dwNumber).ec != std::errc() ||
            dwNumber == 0 || dwNumber > kMaxParameters) {
            continue;
        }
        if (oStmt.m_vecSlots.size() < dwNumber) {
            oStmt.m_vecSlots.resize(dwNumber, 0);
        }
        oStmt.m_vecSlots[dwNumber - 1] = iSlot;
    }
    return &(m_mapStatements[sSql] = std::move(oStmt));
}

bool CSqliteConn::Bind(const SStatement& oStmt, const std::vector<SSqlParam>& vecParams,
                       std::string& sErrMsg) {
    sqlite3_stmt* pStmt = oStmt.m_pStmt;
    for (size_t i = 0; i < vecParams.size() && i < oStmt.m_vecSlots.size(); ++i) {
        const int iIndex = oStmt.m_vecSlots[i];
        if (iIndex == 0) {
            continue;
        }
        const SSqlParam& oParam = vecParams[i];
        const char* pData = oParam.m_svValue.data();
        const sqlite3_uint64 ddwSize = oParam.m_svValue.size();
        int iRc = SQLITE_OK;
        switch (oParam.m_eKind) {
            case SSqlParam::SP_NULL:
                iRc = sqlite3_bind_null(pStmt, iIndex);
                break;
            case SSqlParam::SP_INT:
                iRc = sqlite3_bind_int64(pStmt, iIndex, oParam.m_llValue);
                break;
            case SSqlParam::SP_TEXT:
                iRc = sqlite3_bind_text64(pStmt, iIndex, pData != nullptr ? pData : "", ddwSize,
                                          SQLITE_STATIC, SQLITE_UTF8);
                break;
            case SSqlParam::SP_BYTES:
                iRc = sqlite3_bind_blob64(pStmt, iIndex, pData != nullptr ? pData : "", ddwSize,
                                          SQLITE_STATIC);
                break;
        }
        if (iRc != SQLITE_OK) {
            sErrMsg = Failure("SQLite parameter");
            return false;
        }
    }
    return true;
}

bool CSqliteConn::Exec(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                       std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged, std::string& sErrMsg) {
    const SStatement* pPrepared = Prepare(sSql, sErrMsg);
    if (pPrepared == nullptr) {
        return false;
    }
    sqlite3_stmt* pStmt = pPrepared->m_pStmt;
    CStmtReset oReset(pStmt);
    if (!Bind(*pPrepared, vecParams, sErrMsg)) {
        return false;
    }
    for (;;) {
        const int iRc = sqlite3_step(pStmt);
        if (iRc == SQLITE_DONE) {
            break;
        }
        if (iRc != SQLITE_ROW) {
            sErrMsg = Failure("SQLite");
            return false;
        }
        if (pvecRows != nullptr) {
            pvecRows->emplace_back();
            ReadRow(pStmt, pvecRows->back());
        }
    }
    if (pddwChanged != nullptr) {
        *pddwChanged = static_cast<uint64_t>(sqlite3_changes64(m_pDb));
    }
    return true;
}

// SQLite keeps the rows of INSERT ... RETURNING in a temporary table of their own; the
// connection's last row id says the same without it.
bool CSqliteConn::Insert(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                         int64_t& llId, std::string& sErrMsg) {
    uint64_t ddwChanged = 0;
    if (!Exec(sSql, vecParams, nullptr, &ddwChanged, sErrMsg)) {
        return false;
    }
    llId = ddwChanged != 0 ? sqlite3_last_insert_rowid(m_pDb) : 0;
    return true;
}

bool CSqliteConn::ExecScript(const std::string& sSql, std::string& sErrMsg) {
    char* szError = nullptr;
    if (sqlite3_exec(m_pDb, sSql.c_str(), nullptr, nullptr, &szError) != SQLITE_OK) {
        sErrMsg = std::string("SQLite: ") + (szError != nullptr ? szError : "failed");
        sqlite3_free(szError);
        return false;
    }
    return true;
}

bool CSqliteConn::QueryText(const std::string& sSql, std::string& sValue, std::string& sErrMsg) {
    const SStatement* pPrepared = Prepare(sSql, sErrMsg);
    if (pPrepared == nullptr) {
        return false;
    }
    sqlite3_stmt* pStmt = pPrepared->m_pStmt;
    CStmtReset oReset(pStmt);
    const int iRc = sqlite3_step(pStmt);
    if (iRc != SQLITE_ROW && iRc != SQLITE_DONE) {
        sErrMsg = Failure("SQLite");
        return false;
    }
    const unsigned char* szText = iRc == SQLITE_ROW ? sqlite3_column_text(pStmt, 0) : nullptr;
    sValue = szText != nullptr ? reinterpret_cast<const char*>(szText) : "";
    return true;
}

}  // namespace relayd
