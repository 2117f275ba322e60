// The store over SQL, written once for SQLite and PostgreSQL: what differs between the two
// is a handful of SQL fragments (SSqlDialect) and how a connection is made.
//
// One writer connection, behind a mutex, runs every change in a transaction of its own;
// reads take a connection of their own from a small pool, so a slow reader (a dump, a page
// of the inbox) never holds up intake. Every change that must be durable returns only
// after its COMMIT returned.
#ifndef RELAYD_STORE_SQL_STORE_H
#define RELAYD_STORE_SQL_STORE_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "relayd/store/sql_conn.h"
#include "relayd/store/store.h"
#include "relayd/store/store_health.h"

namespace relayd {

struct SSqlDialect {
    const char* m_szBeginWrite;  // starts a transaction that will write
    const char* m_szBeginRead;   // starts a transaction that reads one consistent state
    const char* m_szSkipLocked;  // appended to the claim's row selection
    // The condition "sNeedle (a parameter) occurs in the column sColumn".
    std::string (*m_fnContains)(const std::string& sColumn, const std::string& sNeedle);
    const char* m_szMigrationLock;  // run first in the migration transaction, or ""
    // Run outside any transaction after deleting expired messages, to give their space
    // back; empty where the database does that by itself.
    std::vector<const char*> m_vecReclaim;
    std::vector<const char*> m_vecSchema;  // version i + 1 is m_vecSchema[i]
    // A statement that makes other writers storing any of these dedupe keys wait until
    // this transaction ends, taking the locks in an order every writer shares (so two
    // relays storing the same requests queue up instead of deadlocking); null where one
    // writer at a time is all the database allows anyway.
    std::string (*m_fnLockDedupeKeys)(const std::vector<std::string>& vecKeys);
    // The database server's clock in milliseconds of Unix time, as SQL; null where the
    // relay's own clock (a parameter) serves, as for a store only one relay uses.
    const char* m_szClockMs;
    // Only one relay can use the store at a time (a SQLite file).
    bool m_bOneRelay;
    // Rows one INSERT carries at most: many where each statement is a round trip to a
    // server, one where statements cost no more than their work.
    size_t m_nRowsPerInsert;
};

typedef std::function<std::unique_ptr<ISqlConn>(std::string& sErrMsg)> FnSqlConnect;

// One attachment row to store: its message, its place among the message's attachments.
struct SAttachmentRow {
    int64_t m_llMessageId;
    size_t m_nIndex;
    const SAttachment* m_pAttachment;
};
// True when the database is still the one the store opened (a file not deleted or
// replaced); false with the reason.
typedef std::function<bool(std::string& sErrMsg)> FnSqlCheckSame;

// Brings the schema up to the latest version in one transaction; refuses a store whose
// schema is newer than this program knows.
bool ApplyMigrations(ISqlConn& oConn, const SSqlDialect& oDialect, std::string& sErrMsg);
// For a store opened only to be read: true when it holds a schema this program reads
// (any version up to the latest), without changing anything.
bool CheckSchemaReadable(ISqlConn& oConn, const SSqlDialect& oDialect, std::string& sErrMsg);

class CSqlStore : public IStore {
public:
    // sName names the store in every error (a path, or a URL without its password);
    // fnCheckSame, when given, runs before and after every write transaction.
    CSqlStore(const SSqlDialect& oDialect, const std::string& sName,
              std::unique_ptr<ISqlConn> pWriter, FnSqlConnect fnConnectReader,
              FnSqlCheckSame fnCheckSame = nullptr);

    bool InsertBatch(std::vector<SMessage>& vecMessages, int64_t llDedupeSinceMs,
                     std::vector<SInsertOutcome>& vecOutcomes, std::string& sErrMsg) override;
    bool ClaimDue(int64_t llNowMs, int64_t llLeaseMs,
                  const std::vector<relay_proto::CHANNEL>& vecChannels, uint32_t dwMax,
                  const std::string& sOwner, std::vector<SMessage>& vecClaimed,
                  std::string& sErrMsg) override;
    bool RenewLeases(const std::vector<int64_t>& vecIds, int64_t llNowMs, int64_t llLeaseMs,
                     const std::string& sOwner, std::string& sErrMsg) override;
    bool ReleaseClaims(const std::vector<int64_t>& vecIds, int64_t llNowMs,
                       const std::string& sOwner, std::string& sErrMsg) override;
    bool RecordAttempts(const std::vector<SAttemptRecord>& vecRecords,
                        std::string& sErrMsg) override;
    bool RequeueExpired(int64_t llNowMs, int64_t llMarginMs, uint32_t& dwRequeued,
                        std::string& sErrMsg) override;
    bool RequeueAtStart(int64_t llNowMs, uint32_t& dwRequeued, std::string& sErrMsg) override;
    bool Retry(int64_t llId, int64_t llNowMs, CHANGE_RESULT& eResult,
               std::string& sErrMsg) override;
    bool QueueDepths(std::vector<uint64_t>& vecDepths, std::string& sErrMsg) override;
    bool ListMessages(const SMessageQuery& oQuery, SMessagePage& oPage,
                      std::string& sErrMsg) override;
    bool GetMessage(int64_t llId, bool bWithData, SMessage& oMessage, bool& bFound,
                    std::string& sErrMsg) override;
    bool ForEachMessage(const std::function<bool(const SMessage&)>& fnEach,
                        std::string& sErrMsg) override;
    bool DeleteMessage(int64_t llId, CHANGE_RESULT& eResult, std::string& sErrMsg) override;
    bool MaxMessageId(int64_t& llMaxId, std::string& sErrMsg) override;
    bool InsertKey(const SKey& oKey, CHANGE_RESULT& eResult, std::string& sErrMsg) override;
    bool FindKey(const std::string& sId, SKey& oKey, bool& bFound, std::string& sErrMsg) override;
    bool ListKeys(std::vector<SKey>& vecKeys, std::string& sErrMsg) override;
    bool RevokeKey(const std::string& sId, CHANGE_RESULT& eResult, std::string& sErrMsg) override;
    bool DeleteExpired(int64_t llBeforeMs, uint32_t dwMax, uint32_t& dwDeleted,
                       std::string& sErrMsg) override;
    bool Reclaim(std::string& sErrMsg) override;
    bool CountByStatus(std::vector<uint64_t>& vecCounts, std::string& sErrMsg) override;
    bool Ping(std::string& sErrMsg) override;

private:
    typedef std::function<bool(ISqlConn& oConn, std::string& sErrMsg)> FnBody;

    // fnBody in one transaction on the writer connection; run again (a few times) when
    // it lost a conflict with another relay's transaction.
    bool Write(const char* szWhat, const FnBody& fnBody, std::string& sErrMsg);
    // fnBody in one read transaction on a pooled reader connection.
    bool Read(const char* szWhat, const FnBody& fnBody, std::string& sErrMsg);
    // Under m_mtxWriter: the database is still the one opened. Once it is not, the store
    // stays lost: every later write fails with the same reason.
    bool StillSame(std::string& sWhy);
    std::unique_ptr<ISqlConn> TakeReader(std::string& sErrMsg);
    // The store's clock for leases as SQL: the dialect's, else llNowMs appended to
    // vecParams as the next parameter.
    std::string LeaseClock(std::vector<SSqlParam>& vecParams, int64_t llNowMs) const;
    // Runs one change to the delivering rows vecIds (an id list built from numbers):
    // sSqlHead, then " AND id IN (...)".
    bool ChangeClaims(const char* szWhat, const std::string& sSqlHead,
                      const std::vector<SSqlParam>& vecParams, const std::vector<int64_t>& vecIds,
                      uint64_t& ddwChanged, std::string& sErrMsg);
    void GiveBackReader(std::unique_ptr<ISqlConn> pConn);
    // Messages by their ids (ascending), with attachment listing and deliveries as asked.
    bool LoadMessages(ISqlConn& oConn, const std::string& sWhere,
                      const std::vector<SSqlParam>& vecParams, const std::string& sOrderLimit,
                      bool bWithDeliveries, bool bWithData, std::vector<SMessage>& vecMessages,
                      std::string& sErrMsg);
    bool LoadDetails(ISqlConn& oConn, bool bWithDeliveries, bool bWithData,
                     std::vector<SMessage>& vecMessages, std::string& sErrMsg);
    bool InsertOne(ISqlConn& oConn, const SMessage& oMessage, int64_t llDedupeSinceMs,
                   SInsertOutcome& oOutcome, std::string& sErrMsg);
    bool InsertRows(ISqlConn& oConn, const std::vector<SMessage>& vecMessages,
                    const size_t* pIndexes, size_t nRows, std::vector<SInsertOutcome>& vecOutcomes,
                    std::string& sErrMsg);
    bool InsertAttachments(ISqlConn& oConn, const std::vector<SAttachmentRow>& vecRows,
                           std::string& sErrMsg);

    const SSqlDialect& m_oDialect;
    const std::string m_sName;
    std::mutex m_mtxWriter;
    std::unique_ptr<ISqlConn> m_pWriter;
    FnSqlConnect m_fnConnectReader;
    FnSqlCheckSame m_fnCheckSame;
    std::string m_sLostWhy;  // under m_mtxWriter; set once the database is not the one opened
    CStoreHealth m_oHealth;
    std::mutex m_mtxReaders;
    std::vector<std::unique_ptr<ISqlConn>> m_vecIdleReaders;
};

}  // namespace relayd

#endif  // RELAYD_STORE_SQL_STORE_H
