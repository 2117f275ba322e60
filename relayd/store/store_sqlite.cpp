#include "relayd/store/store_sqlite.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "relayd/store/sql_store.h"
#include "relayd/store/sqlite_conn.h"
#include "relayd/store/wal_checkpointer.h"

namespace relayd {

namespace {

// The writer waits this long for a lock another process holds, so a store that is stuck
// fails intake within about a second; readers may wait longer.
const int kWriterBusyMs = 1000;
const int kReaderBusyMs = 5000;
// Pages of log after which a commit copies the log into the file itself; the background
// checkpoint normally keeps the log far below this.
const char* const kWriterCheckpointPages = "4000";

// Version 1. Statuses, outcomes and channels are the enum values of message.h and
// relay_proto/channel.h. Lists of names are stored as ";alice;bob;". dedupe_key (the
// channel byte and the package hash) is set while the message is inside the dedupe window
// and cleared when a newer copy arrives after it. The image is the last column so that
// reading a row's other columns never reads through it.
const char* const kSchemaV1 = R"SQL(
CREATE TABLE messages (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    channel INTEGER NOT NULL,
    status INTEGER NOT NULL,
    received_at INTEGER NOT NULL,
    peer TEXT NOT NULL,
    timestamp INTEGER NOT NULL,
    key_id TEXT NOT NULL,
    sender TEXT NOT NULL,
    receivers TEXT NOT NULL,
    cc TEXT NOT NULL,
    title TEXT NOT NULL,
    content TEXT NOT NULL,
    image_size INTEGER NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    last_error TEXT NOT NULL DEFAULT '',
    next_attempt_at INTEGER NOT NULL,
    lease_until INTEGER NOT NULL DEFAULT 0,
    lease_owner TEXT NOT NULL DEFAULT '',
    package_hash BLOB NOT NULL,
    dedupe_key BLOB,
    image BLOB NOT NULL
);
CREATE UNIQUE INDEX messages_dedupe ON messages (dedupe_key) WHERE dedupe_key IS NOT NULL;
CREATE INDEX messages_due ON messages (status, next_attempt_at);
CREATE INDEX messages_channel ON messages (channel, id);
CREATE TABLE attachments (
    message_id INTEGER NOT NULL REFERENCES messages (id) ON DELETE CASCADE,
    idx INTEGER NOT NULL,
    name BLOB NOT NULL,
    size INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (message_id, idx)
);
CREATE TABLE deliveries (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    message_id INTEGER NOT NULL REFERENCES messages (id) ON DELETE CASCADE,
    at INTEGER NOT NULL,
    outcome INTEGER NOT NULL,
    detail TEXT NOT NULL
);
CREATE INDEX deliveries_message ON deliveries (message_id, id);
CREATE TABLE api_keys (
    id TEXT PRIMARY KEY,
    receivers TEXT NOT NULL,
    cc TEXT NOT NULL,
    subject TEXT NOT NULL,
    channels TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    revoked INTEGER NOT NULL DEFAULT 0
);
)SQL";

// Version 2: queue depths counted from the due index alone; a status listed newest first.
const char* const kSchemaV2 = R"SQL(
DROP INDEX messages_due;
CREATE INDEX messages_due ON messages (status, next_attempt_at, channel);
CREATE INDEX messages_status ON messages (status, id);
)SQL";

// Version 3: one row the readiness probe rewrites, to learn whether a write gets through.
const char* const kSchemaV3 = R"SQL(
CREATE TABLE store_probe (id INTEGER PRIMARY KEY, at INTEGER NOT NULL);
INSERT INTO store_probe (id, at) VALUES (1, 0);
)SQL";

std::string Instr(const std::string& sColumn, const std::string& sNeedle) {
    return "instr(" + sColumn + ", " + sNeedle + ") > 0";
}

// A checkpoint that truncates the log hands its space back too; a busy reader only makes
// it do less this time.
const SSqlDialect kSqlite = {"BEGIN IMMEDIATE",
                             "BEGIN",
                             "",
                             Instr,
                             "",
                             {"PRAGMA incremental_vacuum", "PRAGMA wal_checkpoint(TRUNCATE)"},
                             {kSchemaV1, kSchemaV2, kSchemaV3},
                             nullptr,
                             nullptr,
                             true,
                             1};

// Sets a pragma and reads it back: SQLite ignores settings it cannot apply.
bool SetPragma(CSqliteConn& oConn, const std::string& sName, const std::string& sValue,
               const std::string& sExpected, std::string& sErrMsg) {
    std::string sActual;
    if (!oConn.QueryText("PRAGMA " + sName + " = " + sValue, sActual, sErrMsg) ||
        !oConn.QueryText("PRAGMA " + sName, sActual, sErrMsg)) {
        return false;
    }
    if (sActual != sExpected) {
        sErrMsg = "cannot set " + sName + " to " + sValue + " (it stays " + sActual + ")";
        return false;
    }
    return true;
}

// The file at sPath: its device and inode, or the reason there is none.
bool FileIdentity(const std::string& sPath, dev_t& oDev, ino_t& oIno, std::string& sWhy) {
    struct stat oStat;
    if (stat(sPath.c_str(), &oStat) != 0) {
        sWhy = std::string("the file is gone: ") + strerror(errno);
        return false;
    }
    oDev = oStat.st_dev;
    oIno = oStat.st_ino;
    return true;
}

// Checks that the path still leads to the file opened at start: a store deleted or
// replaced under a running relay takes no more writes (they would vanish at restart).
FnSqlCheckSame SameFileCheck(const std::string& sPath, dev_t oDev, ino_t oIno) {
    return [sPath, oDev, oIno](std::string& sWhy) {
        dev_t oNowDev = 0;
        ino_t oNowIno = 0;
        if (FileIdentity(sPath, oNowDev, oNowIno, sWhy) && oNowDev == oDev && oNowIno == oIno) {
            return true;
        }
        sWhy = (sWhy.empty() ? std::string("the file was replaced") : sWhy) +
               " since the relay opened it; restart the relay to open the store anew";
        return false;
    };
}

bool OpenWriter(CSqliteConn& oWriter, std::string& sWhy) {
    if (oWriter.IsReadOnly()) {
        sWhy = "the file is read-only for this user";
        return false;
    }
    // Freed pages go back to the file system when retention asks (Reclaim). This takes
    // effect in a new file only; an older store keeps reusing its free pages instead.
    std::string sIgnored;
    oWriter.QueryText("PRAGMA auto_vacuum = INCREMENTAL", sIgnored, sIgnored);
    return SetPragma(oWriter, "journal_mode", "WAL", "wal", sWhy) &&
           SetPragma(oWriter, "synchronous", "FULL", "2", sWhy) &&
           SetPragma(oWriter, "foreign_keys", "ON", "1", sWhy) &&
           SetPragma(oWriter, "wal_autocheckpoint", kWriterCheckpointPages, kWriterCheckpointPages,
                     sWhy) &&
           ApplyMigrations(oWriter, kSqlite, sWhy);
}

// The SQL store over one SQLite file; a store that writes copies its log into the file in
// the background (declared after the base, it stops before the writer closes).
class CSqliteStore : public CSqlStore {
public:
    CSqliteStore(const std::string& sPath, std::unique_ptr<CSqliteConn> pWriter,
                 FnSqlConnect fnConnectReader, FnSqlCheckSame fnCheckSame,
                 std::unique_ptr<CSqliteConn> pCheckpointConn)
        : CSqlStore(kSqlite, sPath, std::move(pWriter), std::move(fnConnectReader),
                    std::move(fnCheckSame)),
          m_pCheckpointer(pCheckpointConn != nullptr
                              ? std::make_unique<CWalCheckpointer>(std::move(pCheckpointConn))
                              : nullptr) {}

private:
    std::unique_ptr<CWalCheckpointer> m_pCheckpointer;
};

}  // namespace

std::unique_ptr<IStore> OpenSqliteStore(const std::string& sPath, bool bReadOnly,
                                        std::string& sErrMsg) {
    std::string sWhy;
    dev_t oDev = 0;
    ino_t oIno = 0;
    if (bReadOnly && !FileIdentity(sPath, oDev, oIno, sWhy)) {
        sErrMsg = "store " + sPath + ": no such store (" + sWhy + ")";
        return nullptr;
    }
    std::unique_ptr<CSqliteConn> pWriter = CSqliteConn::Open(
        sPath, bReadOnly ? CSqliteConn::OM_READ_ONLY : CSqliteConn::OM_CREATE, kWriterBusyMs, sWhy);
    const bool bOpened =
        pWriter != nullptr &&
        (bReadOnly ? CheckSchemaReadable(*pWriter, kSqlite, sWhy) : OpenWriter(*pWriter, sWhy)) &&
        FileIdentity(sPath, oDev, oIno, sWhy);
    if (!bOpened) {
        sErrMsg = "store " + sPath + ": " + sWhy;
        return nullptr;
    }
    const CSqliteConn::OPEN_MODE eReaderMode =
        bReadOnly ? CSqliteConn::OM_READ_ONLY : CSqliteConn::OM_EXISTING;
    auto fnConnectReader = [sPath,
                            eReaderMode](std::string& sReaderErr) -> std::unique_ptr<ISqlConn> {
        return CSqliteConn::Open(sPath, eReaderMode, kReaderBusyMs, sReaderErr);
    };
    std::unique_ptr<CSqliteConn> pCheckpointConn;
    if (!bReadOnly) {
        pCheckpointConn = CSqliteConn::Open(sPath, CSqliteConn::OM_EXISTING, kReaderBusyMs, sWhy);
        if (pCheckpointConn == nullptr) {
            sErrMsg = "store " + sPath + ": " + sWhy;
            return nullptr;
        }
    }
    return std::make_unique<CSqliteStore>(sPath, std::move(pWriter), fnConnectReader,
                                          SameFileCheck(sPath, oDev, oIno),
                                          std::move(pCheckpointConn));
}

}  // namespace relayd
