#include "relayd/store/pg_conn.h"

#include "relayd/record/clock.h"
#include "relayd/record/redact.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace relayd {

namespace {

const int64_t kFirstBackoffMs = 100;
// A statement carrying big values (an image, attachments) gets extra time to send them,
// as if the link moved at least this many bytes per millisecond (10 MB/s).
const int64_t kMinBytesPerMs = 10000;
const int kServerStatementTimeoutMs = 60000;
const size_t kMaxPrepared = 64;
const int64_t kMaxBackoffMs = 5000;

// Type numbers of the built-in types the store uses (pg_type.oid).
const Oid kOidBool = 16;
const Oid kOidBytea = 17;
const Oid kOidInt8 = 20;
const Oid kOidInt2 = 21;
const Oid kOidInt4 = 23;
const int kBinary = 1;

// libpq's messages as one line: its line breaks and indents become single spaces.
std::string Trimmed(const char* szText) {
    std::string sLine;
    for (const char* p = szText != nullptr ? szText : ""; *p != '\0'; ++p) {
        const bool bSpace = *p == '\n' || *p == '\t' || *p == ' ';
        if (!bSpace) {
            sLine += *p;
        } else if (!sLine.empty() && sLine.back() != ' ') {
            sLine += ' ';
        }
    }
    if (!sLine.empty() && sLine.back() == ' ') {
        sLine.pop_back();
    }
    return sLine;
}

int64_t BigEndian(const char* pData, int nBytes) {
    uint64_t ddwValue = 0;
    for (int i = 0; i < nBytes; ++i) {
        ddwValue = (ddwValue << 8) | static_cast<unsigned char>(pData[i]);
    }
    // Sign-extend the shorter integers.
    const int nShift = 64 - 8 * nBytes;
    return nShift > 0 ? static_cast<int64_t>(ddwValue << nShift) >> nShift
                      : static_cast<int64_t>(ddwValue);
}

// One result value in binary form: integers of every width and booleans as numbers,
// everything else as its bytes.
void ReadCell(const PGresult* pResult, int iRow, int iColumn, SSqlCell& oCell) {
    oCell.m_bNull = PQgetisnull(pResult, iRow, iColumn) != 0;
    if (oCell.m_bNull) {
        return;
    }
    const char* pData = PQgetvalue(pResult, iRow, iColumn);
    const int nBytes = PQgetlength(pResult, iRow, iColumn);
    const Oid eType = PQftype(pResult, iColumn);
    if (eType == kOidInt8 || eType == kOidInt4 || eType == kOidInt2 || eType == kOidBool) {
        oCell.m_llValue =
            eType == kOidBool ? (nBytes > 0 && pData[0] != 0) : BigEndian(pData, nBytes);
    } else {
        oCell.m_sValue.assign(pData, static_cast<size_t>(nBytes));
    }
}

// Keeps libpq's notices (such as "there is no transaction in progress") off stderr.
void IgnoreNotice(void*, const char*) {}

}  // namespace

CPgConn::~CPgConn() {
    Drop();
}

// static
std::unique_ptr<CPgConn> CPgConn::Connect(const std::string& sUrl, int iTimeoutMs,
                                          std::string& sErrMsg) {
    std::unique_ptr<CPgConn> pConn(new CPgConn(sUrl, iTimeoutMs));
    if (!pConn->Open(sErrMsg)) {
        return nullptr;
    }
    return pConn;
}

void CPgConn::Drop() {
    m_mapPrepared.clear();
    if (m_pConn != nullptr) {
        PQfinish(m_pConn);
        m_pConn = nullptr;
    }
}

bool CPgConn::Wait(bool bWrite, int64_t llDeadlineMs, std::string& sErrMsg) {
    const int64_t llLeft = llDeadlineMs - MonotonicNowMs();
    pollfd oPoll = {PQsocket(m_pConn), static_cast<short>(bWrite ? POLLIN | POLLOUT : POLLIN), 0};
    const int iReady = llLeft > 0 ? poll(&oPoll, 1, static_cast<int>(llLeft)) : 0;
    if (iReady > 0 || (iReady < 0 && errno == EINTR)) {
        return true;
    }
    sErrMsg = iReady == 0
                  ? "PostgreSQL did not answer within " + std::to_string(m_iTimeoutMs) + " ms"
                  : std::string("PostgreSQL connection: ") + strerror(errno);
    return false;
}

bool CPgConn::Open(std::string& sErrMsg) {
    const char* const aszKeys[] = {"dbname", "application_name", nullptr};
    const char* const aszValues[] = {m_sUrl.c_str(), "fanout_relayd", nullptr};
    m_pConn = PQconnectStartParams(aszKeys, aszValues, 1);
    if (m_pConn == nullptr) {
        sErrMsg = "PostgreSQL: out of memory";
        return false;
    }
    const int64_t llDeadline = MonotonicNowMs() + m_iTimeoutMs;
    PostgresPollingStatusType eState = PGRES_POLLING_WRITING;
    while (PQstatus(m_pConn) != CONNECTION_BAD && eState != PGRES_POLLING_OK &&
           eState != PGRES_POLLING_FAILED) {
        if (!Wait(eState == PGRES_POLLING_WRITING, llDeadline, sErrMsg)) {
            sErrMsg = "cannot connect to PostgreSQL: no answer within " +
                      std::to_string(m_iTimeoutMs) + " ms";
            Drop();
            return false;
        }
        eState = PQconnectPoll(m_pConn);
    }
    if (eState != PGRES_POLLING_OK) {
        sErrMsg = "cannot connect to PostgreSQL: " +
                  WithoutSecretsOf(Trimmed(PQerrorMessage(m_pConn)), m_sUrl);
        Drop();
        return false;
    }
    PQsetNoticeProcessor(m_pConn, IgnoreNotice, nullptr);
    if (PQsetnonblocking(m_pConn, 1) != 0) {
        sErrMsg = "PostgreSQL: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    // The commit waits for the write-ahead log flush whatever the database's default says.
    // The client's own deadline makes calls fail fast; the server stops waiting for a lock
    // when the client would, and abandons statements that run on after the client left.
    return Exec("SET synchronous_commit = on", {}, nullptr, nullptr, sErrMsg) &&
           Exec("SET statement_timeout = " + std::to_string(kServerStatementTimeoutMs), {}, nullptr,
                nullptr, sErrMsg) &&
           Exec("SET lock_timeout = " + std::to_string(m_iTimeoutMs), {}, nullptr, nullptr,
                sErrMsg);
}

// A dropped connection is made again at most once per back-off period, which doubles
// with each failure; in between, calls fail at once with the last reason.
bool CPgConn::EnsureOpen(std::string& sErrMsg) {
    if (m_pConn != nullptr) {
        return true;
    }
    const int64_t llNow = MonotonicNowMs();
    if (llNow < m_llNextTryMs) {
        sErrMsg =
            m_sLastFailure + " (next try in " + std::to_string(m_llNextTryMs - llNow) + " ms)";
        return false;
    }
    if (Open(sErrMsg)) {
        m_llBackoffMs = 0;
        return true;
    }
    m_llBackoffMs =
        std::min(kMaxBackoffMs, m_llBackoffMs == 0 ? kFirstBackoffMs : 2 * m_llBackoffMs);
    m_llNextTryMs = MonotonicNowMs() + m_llBackoffMs;
    m_sLastFailure = sErrMsg;
    return false;
}

bool CPgConn::SetTimeout(int iTimeoutMs, std::string& sErrMsg) {
    m_iTimeoutMs = iTimeoutMs;
    return Exec("SET lock_timeout = " + std::to_string(iTimeoutMs), {}, nullptr, nullptr, sErrMsg);
}

bool CPgConn::Finish(size_t nSentBytes, std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged,
                     std::string& sErrMsg) {
    const int64_t llDeadline =
        MonotonicNowMs() + m_iTimeoutMs + static_cast<int64_t>(nSentBytes) / kMinBytesPerMs;
    bool bOk = true;
    std::string sBroken;  // why the connection is no longer usable
    for (int iFlush; (iFlush = PQflush(m_pConn)) != 0;) {
        if (iFlush < 0 || !Wait(true, llDeadline, sBroken) || PQconsumeInput(m_pConn) == 0) {
            bOk = false;
            break;
        }
    }
    std::string sFailure;
    while (bOk) {
        while (PQisBusy(m_pConn) != 0) {
            if (!Wait(false, llDeadline, sBroken) || PQconsumeInput(m_pConn) == 0) {
                bOk = false;
                break;
            }
        }
        PGresult* pResult = bOk ? PQgetResult(m_pConn) : nullptr;
        if (pResult == nullptr) {
            break;
        }
        const ExecStatusType eStatus = PQresultStatus(pResult);
        if (eStatus == PGRES_TUPLES_OK && pvecRows != nullptr) {
            const int nRows = PQntuples(pResult);
            const int nColumns = PQnfields(pResult);
            for (int iRow = 0; iRow < nRows; ++iRow) {
                pvecRows->emplace_back(static_cast<size_t>(nColumns));
                for (int iColumn = 0; iColumn < nColumns; ++iColumn) {
                    ReadCell(pResult, iRow, iColumn,
                             pvecRows->back()[static_cast<size_t>(iColumn)]);
                }
            }
        } else if (eStatus != PGRES_TUPLES_OK && eStatus != PGRES_COMMAND_OK && sFailure.empty()) {
            const char* szState = PQresultErrorField(pResult, PG_DIAG_SQLSTATE);
            m_bRetryable = szState != nullptr &&
                           (strcmp(szState, "40P01") == 0 || strcmp(szState, "40001") == 0);
            sFailure = "PostgreSQL: " + Trimmed(PQresultErrorMessage(pResult));
        }
        if (pddwChanged != nullptr && eStatus == PGRES_COMMAND_OK) {
            *pddwChanged = strtoull(PQcmdTuples(pResult), nullptr, 10);
        }
        if (pddwChanged != nullptr && eStatus == PGRES_TUPLES_OK) {
            *pddwChanged = static_cast<uint64_t>(PQntuples(pResult));
        }
        PQclear(pResult);
    }
    if (!bOk) {
        sErrMsg = !sBroken.empty() ? sBroken
                                   : "PostgreSQL connection: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD) {
        sErrMsg = "PostgreSQL connection lost: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    if (!sFailure.empty()) {
        sErrMsg = sFailure;
        return false;
    }
    return true;
}

bool CPgConn::Exec(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                   std::vector<SqlRow>* pvecRows, uint64_t* pddwChanged, std::string& sErrMsg) {
    m_bRetryable = false;
    // The server rolled back whatever the dropped connection had open.
    if (m_pConn == nullptr && sSql == "ROLLBACK") {
        return true;
    }
    if (!EnsureOpen(sErrMsg)) {
        return false;
    }
    const size_t nParams = vecParams.size();
    std::vector<Oid> vecTypes(nParams);
    std::vector<const char*> vecValues(nParams);
    std::vector<int> vecLengths(nParams);
    std::vector<int> vecFormats(nParams, kBinary);
    std::vector<char> vecInts(8 * nParams);
    size_t nSentBytes = sSql.size();
    for (size_t i = 0; i < nParams; ++i) {
        const SSqlParam& oParam = vecParams[i];
        if (oParam.m_eKind == SSqlParam::SP_INT) {
            char* pInt = &vecInts[8 * i];
            for (int b = 0; b < 8; ++b) {
                pInt[b] =
                    static_cast<char>(static_cast<uint64_t>(oParam.m_llValue) >> (56 - 8 * b));
            }
            vecTypes[i] = kOidInt8;
            vecValues[i] = pInt;
            vecLengths[i] = 8;
        } else if (oParam.m_eKind != SSqlParam::SP_NULL) {
            vecTypes[i] = kOidBytea;
            vecValues[i] = oParam.m_svValue.data() != nullptr ? oParam.m_svValue.data() : "";
            vecLengths[i] = static_cast<int>(oParam.m_svValue.size());
            nSentBytes += oParam.m_svValue.size();
        }
    }
    std::string sName;
    if (nParams != 0 && !Prepare(sSql, vecTypes, sName, sErrMsg)) {
        return false;
    }
    const int iSent =
        nParams != 0
            ? PQsendQueryPrepared(m_pConn, sName.c_str(), static_cast<int>(nParams),
                                  vecValues.data(), vecLengths.data(), vecFormats.data(), kBinary)
            : PQsendQueryParams(m_pConn, sSql.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                                kBinary);
    if (iSent == 0) {
        sErrMsg = "PostgreSQL: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    return Finish(nSentBytes, pvecRows, pddwChanged, sErrMsg);
}

// Statements with parameters are parsed and planned once per connection. Their number is
// bounded (the store's statements are few); past the bound, the connection starts afresh.
bool CPgConn::Prepare(const std::string& sSql, const std::vector<unsigned int>& vecTypes,
                      std::string& sName, std::string& sErrMsg) {
    auto it = m_mapPrepared.find(sSql);
    if (it != m_mapPrepared.end()) {
        sName = it->second;
        return true;
    }
    if (m_mapPrepared.size() >= kMaxPrepared) {
        if (!Exec("DEALLOCATE ALL", {}, nullptr, nullptr, sErrMsg)) {
            return false;
        }
        m_mapPrepared.clear();
    }
    sName = "fanout_" + std::to_string(++m_ddwPrepared);
    if (PQsendPrepare(m_pConn, sName.c_str(), sSql.c_str(), static_cast<int>(vecTypes.size()),
                      vecTypes.data()) == 0) {
        sErrMsg = "PostgreSQL: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    if (!Finish(sSql.size(), nullptr, nullptr, sErrMsg)) {
        return false;
    }
    m_mapPrepared[sSql] = sName;
    return true;
}

bool CPgConn::Insert(const std::string& sSql, const std::vector<SSqlParam>& vecParams,
                     int64_t& llId, std::string& sErrMsg) {
    std::vector<SqlRow> vecRows;
    if (!Exec(sSql + " RETURNING id", vecParams, &vecRows, nullptr, sErrMsg)) {
        return false;
    }
    llId = vecRows.empty() ? 0 : vecRows[0].at(0).m_llValue;
    return true;
}

bool CPgConn::ExecScript(const std::string& sSql, std::string& sErrMsg) {
    m_bRetryable = false;
    if (!EnsureOpen(sErrMsg)) {
        return false;
    }
    if (PQsendQuery(m_pConn, sSql.c_str()) == 0) {
        sErrMsg = "PostgreSQL: " + Trimmed(PQerrorMessage(m_pConn));
        Drop();
        return false;
    }
    return Finish(sSql.size(), nullptr, nullptr, sErrMsg);
}

}  // namespace relayd
