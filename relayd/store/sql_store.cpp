#include "relayd/store/sql_store.h"

#include "relayd/record/clock.h"
#include "relayd/record/text_rules.h"

#include <algorithm>
#include <map>

namespace relayd {

namespace {

const int kMaxWriteTries = 3;
// Readiness trusts a write that succeeded this recently; after that it writes to see.
const int64_t kProbeAfterIdleMs = 1000;
const char* const kProbe = "UPDATE store_probe SET at = $1 WHERE id = 1";
const size_t kMaxIdleReaders = 4;
const char* const kForEachPage = "256";

// Every column of a message row but the image, in the order RowToMessage reads them.
const char* const kMessageColumns =
    "id, channel, status, received_at, peer, timestamp, key_id, sender, receivers, cc, "
    "title, content, image_size, attempts, last_error, next_attempt_at, lease_until, "
    "package_hash";

const char* const kInsertMessages =
    "INSERT INTO messages (channel, status, received_at, peer, timestamp, key_id, sender, "
    "receivers, cc, title, content, image_size, next_attempt_at, package_hash, dedupe_key, "
    "image, lease_until) VALUES ";
const size_t kMessageParams = 17;    // the columns above
const size_t kDedupeKeyParam = 14;   // dedupe_key's place among them
const size_t kAttachmentParams = 6;  // the columns of an attachment row
const char* const kSkipStoredKey =
    " ON CONFLICT (dedupe_key) WHERE dedupe_key IS NOT NULL DO NOTHING";
// A batch goes in statements of a power of two rows each, so that the connections keep
// a few shapes prepared, not one per size.
const size_t kShapes = 7;  // 1, 2, 4, ... 64 rows

const char* const kKeyColumns = "id, receivers, cc, subject, channels, created_at, revoked";

// A list of names as one column: ";alice;bob;" (empty for none), so that one name is
// found exactly by looking for ";name;". Names never hold ';' (it separates them);
// SplitNameList reads the column back.
std::string JoinNames(const std::vector<std::string>& vecNames) {
    std::string sJoined;
    for (const std::string& sName : vecNames) {
        sJoined += ";" + sName;
    }
    return sJoined.empty() ? sJoined : sJoined + ";";
}

std::string JoinChannels(const std::vector<relay_proto::CHANNEL>& vecChannels) {
    std::vector<std::string> vecNames;
    vecNames.reserve(vecChannels.size());
    for (relay_proto::CHANNEL eChannel : vecChannels) {
        vecNames.push_back(relay_proto::ChannelName(eChannel));
    }
    return JoinNames(vecNames);
}

std::vector<relay_proto::CHANNEL> SplitChannels(const std::string& sJoined) {
    std::vector<relay_proto::CHANNEL> vecChannels;
    for (const std::string& sName : SplitNameList(sJoined)) {
        relay_proto::CHANNEL eChannel;
        if (relay_proto::ChannelFromName(sName, eChannel)) {
            vecChannels.push_back(eChannel);
        }
    }
    return vecChannels;
}

// The channel and the package hash: what makes two requests the same. Empty (stored as
// NULL, never matching) for a message without a hash.
std::string DedupeKey(const SMessage& oMessage) {
    if (oMessage.m_sPackageHash.empty()) {
        return std::string();
    }
    return std::string(1, static_cast<char>(oMessage.m_eChannel)) + oMessage.m_sPackageHash;
}

// "($1, ..., $n), ($n+1, ...)": nRows rows of nParams numbered parameters.
std::string BuildValuesList(size_t nRows, size_t nParams) {
    std::string sValues;
    size_t nNumber = 0;
    for (size_t iRow = 0; iRow < nRows; ++iRow) {
        sValues += iRow == 0 ? "(" : ", (";
        for (size_t i = 0; i < nParams; ++i) {
            sValues += (i == 0 ? "$" : ", $") + std::to_string(++nNumber);
        }
        sValues += ")";
    }
    return sValues;
}

// The values list for nRows (a power of two up to 64) rows of kParams parameters, built
// once per shape.
template <size_t kParams>
const std::string& ValuesList(size_t nRows) {
    static const std::vector<std::string> vecLists = [] {
        std::vector<std::string> vecBuilt;
        for (size_t i = 0; i < kShapes; ++i) {
            vecBuilt.push_back(BuildValuesList(size_t(1) << i, kParams));
        }
        return vecBuilt;
    }();
    size_t iShape = 0;
    while ((size_t(1) << iShape) < nRows) {
        ++iShape;
    }
    return vecLists.at(iShape);
}

// The rows of the next statement: the largest power of two up to nMax and nLeft.
size_t RowsPerStatement(size_t nLeft, size_t nMax) {
    size_t nRows = size_t(1) << (kShapes - 1);
    while (nRows > nLeft || nRows > nMax) {
        nRows /= 2;
    }
    return nRows;
}

// The texts a message row's parameters refer to, kept while its statement runs.
struct SRowTexts {
    std::string m_sKey;
    std::string m_sReceivers;
    std::string m_sCc;
};

void AppendMessageParams(const SMessage& oMessage, SRowTexts& oTexts,
                         std::vector<SSqlParam>& vecParams) {
    oTexts.m_sKey = DedupeKey(oMessage);
    oTexts.m_sReceivers = JoinNames(oMessage.m_vecReceivers);
    oTexts.m_sCc = JoinNames(oMessage.m_vecCc);
    vecParams.insert(
        vecParams.end(),
        {SSqlParam::Int(oMessage.m_eChannel), SSqlParam::Int(oMessage.m_eStatus),
         SSqlParam::Int(oMessage.m_llReceivedAtMs), SSqlParam::Text(oMessage.m_sPeer),
         SSqlParam::Int(oMessage.m_dwTimestamp), SSqlParam::Text(oMessage.m_sKeyId),
         SSqlParam::Text(oMessage.m_sSender), SSqlParam::Text(oTexts.m_sReceivers),
         SSqlParam::Text(oTexts.m_sCc), SSqlParam::Text(oMessage.m_sTitle),
         SSqlParam::Text(oMessage.m_sContent),
         SSqlParam::Int(static_cast<int64_t>(oMessage.m_sImage.size())),
         SSqlParam::Int(oMessage.m_llNextAttemptMs), SSqlParam::Bytes(oMessage.m_sPackageHash),
         oTexts.m_sKey.empty() ? SSqlParam::Null() : SSqlParam::Bytes(oTexts.m_sKey),
         SSqlParam::Bytes(oMessage.m_sImage), SSqlParam::Int(oMessage.m_llLeaseUntilMs)});
}

void AppendAttachmentRows(int64_t llMessageId, const SMessage& oMessage,
                          std::vector<SAttachmentRow>& vecRows) {
    for (size_t i = 0; i < oMessage.m_vecAttachments.size(); ++i) {
        vecRows.push_back({llMessageId, i, &oMessage.m_vecAttachments[i]});
    }
}

std::string IdList(const std::vector<SMessage>& vecMessages) {
    std::string sList;
    for (const SMessage& oMessage : vecMessages) {
        sList += (sList.empty() ? "" : ",") + std::to_string(oMessage.m_llId);
    }
    return sList;
}

// Reads a row's cells in order.
class CRowReader {
public:
    explicit CRowReader(const SqlRow& vecRow) : m_vecRow(vecRow) {}
    int64_t Int() { return m_vecRow.at(m_nNext++).m_llValue; }
    const std::string& Str() { return m_vecRow.at(m_nNext++).m_sValue; }

private:
    const SqlRow& m_vecRow;
    size_t m_nNext = 0;
};

SMessage RowToMessage(const SqlRow& vecRow, bool bWithData) {
    CRowReader oRow(vecRow);
    SMessage oMessage;
    oMessage.m_llId = oRow.Int();
    oMessage.m_eChannel = static_cast<relay_proto::CHANNEL>(oRow.Int());
    oMessage.m_eStatus = static_cast<STATUS>(oRow.Int());
    oMessage.m_llReceivedAtMs = oRow.Int();
    oMessage.m_sPeer = oRow.Str();
    oMessage.m_dwTimestamp = static_cast<uint32_t>(oRow.Int());
    oMessage.m_sKeyId = oRow.Str();
    oMessage.m_sSender = oRow.Str();
    oMessage.m_vecReceivers = SplitNameList(oRow.Str());
    oMessage.m_vecCc = SplitNameList(oRow.Str());
    oMessage.m_sTitle = oRow.Str();
    oMessage.m_sContent = oRow.Str();
    oMessage.m_ddwImageSize = static_cast<uint64_t>(oRow.Int());
    oMessage.m_dwAttempts = static_cast<uint32_t>(oRow.Int());
    oMessage.m_sLastError = oRow.Str();
    oMessage.m_llNextAttemptMs = oRow.Int();
    oMessage.m_llLeaseUntilMs = oRow.Int();
    oMessage.m_sPackageHash = oRow.Str();
    if (bWithData) {
        oMessage.m_sImage = oRow.Str();
    }
    return oMessage;
}

SKey RowToKey(const SqlRow& vecRow) {
    CRowReader oRow(vecRow);
    SKey oKey;
    oKey.m_sId = oRow.Str();
    oKey.m_vecReceivers = SplitNameList(oRow.Str());
    oKey.m_vecCc = SplitNameList(oRow.Str());
    oKey.m_sSubject = oRow.Str();
    oKey.m_vecChannels = SplitChannels(oRow.Str());
    oKey.m_llCreatedAtMs = oRow.Int();
    oKey.m_bRevoked = oRow.Int() != 0;
    oKey.m_eSource = KS_API;
    return oKey;
}

bool Exec(ISqlConn& oConn, const std::string& sSql, const std::vector<SSqlParam>& vecParams,
          std::string& sErrMsg) {
    return oConn.Exec(sSql, vecParams, nullptr, nullptr, sErrMsg);
}

// Runs fnBody between szBegin and COMMIT; rolls back when anything fails. bRetryable
// tells whether the failure was a conflict worth running the transaction again for.
template <typename FN>
bool RunTransaction(ISqlConn& oConn, const char* szBegin, const FN& fnBody, bool& bRetryable,
                    std::string& sErrMsg) {
    bRetryable = false;
    if (!Exec(oConn, szBegin, {}, sErrMsg)) {
        bRetryable = oConn.LastFailureRetryable();
        return false;
    }
    if (fnBody(oConn, sErrMsg) && Exec(oConn, "COMMIT", {}, sErrMsg)) {
        return true;
    }
    bRetryable = oConn.LastFailureRetryable();
    std::string sIgnored;
    Exec(oConn, "ROLLBACK", {}, sIgnored);
    return false;
}

}  // namespace

namespace {

// The schema version stored (0 for none yet) and whether it is more than this program
// knows (sWhy then says so).
bool ReadSchemaVersion(ISqlConn& oConn, int64_t llLatest, int64_t& llVersion, std::string& sWhy) {
    std::vector<SqlRow> vecRows;
    if (!oConn.Exec("SELECT max(version) FROM schema_migrations", {}, &vecRows, nullptr, sWhy)) {
        return false;
    }
    llVersion = vecRows.empty() ? 0 : vecRows[0].at(0).m_llValue;
    if (llVersion > llLatest) {
        sWhy = "its schema version " + std::to_string(llVersion) +
               " is newer than this program knows (" + std::to_string(llLatest) +
               "): use a newer fanout_relayd";
        return false;
    }
    return true;
}

}  // namespace

// A store already up to date is only read (a dump never waits for a busy writer's lock);
// otherwise the check is made again inside the migration transaction, under the lock.
bool ApplyMigrations(ISqlConn& oConn, const SSqlDialect& oDialect, std::string& sErrMsg) {
    const int64_t llLatest = static_cast<int64_t>(oDialect.m_vecSchema.size());
    int64_t llVersion = 0;
    std::string sWhy;
    if (ReadSchemaVersion(oConn, llLatest, llVersion, sWhy) && llVersion == llLatest) {
        return true;
    }
    if (llVersion > llLatest) {
        sErrMsg = sWhy;
        return false;
    }
    auto fnMigrate = [&](ISqlConn& oTx, std::string& sTxWhy) {
        if (*oDialect.m_szMigrationLock != '\0' &&
            !Exec(oTx, oDialect.m_szMigrationLock, {}, sTxWhy)) {
            return false;
        }
        if (!oTx.ExecScript("CREATE TABLE IF NOT EXISTS schema_migrations (version BIGINT "
                            "PRIMARY KEY, applied_at BIGINT NOT NULL)",
                            sTxWhy) ||
            !ReadSchemaVersion(oTx, llLatest, llVersion, sTxWhy)) {
            return false;
        }
        for (int64_t llNext = llVersion + 1; llNext <= llLatest; ++llNext) {
            if (!oTx.ExecScript(oDialect.m_vecSchema[static_cast<size_t>(llNext - 1)], sTxWhy) ||
                !Exec(oTx, "INSERT INTO schema_migrations (version, applied_at) VALUES ($1, $2)",
                      {SSqlParam::Int(llNext), SSqlParam::Int(WallNowMs())}, sTxWhy)) {
                sTxWhy = "migrating to schema version " + std::to_string(llNext) + ": " + sTxWhy;
                return false;
            }
        }
        return true;
    };
    bool bRetryable = false;
    return RunTransaction(oConn, oDialect.m_szBeginWrite, fnMigrate, bRetryable, sErrMsg);
}

bool CheckSchemaReadable(ISqlConn& oConn, const SSqlDialect& oDialect, std::string& sErrMsg) {
    int64_t llVersion = 0;
    std::string sWhy;
    const int64_t llLatest = static_cast<int64_t>(oDialect.m_vecSchema.size());
    if (!ReadSchemaVersion(oConn, llLatest, llVersion, sWhy)) {
        sErrMsg = llVersion > llLatest ? sWhy : "it is not a relay store (" + sWhy + ")";
        return false;
    }
    if (llVersion == 0) {
        sErrMsg = "it is not a relay store (no schema version)";
        return false;
    }
    return true;
}

CSqlStore::CSqlStore(const SSqlDialect& oDialect, const std::string& sName,
                     std::unique_ptr<ISqlConn> pWriter, FnSqlConnect fnConnectReader,
                     FnSqlCheckSame fnCheckSame)
    : m_oDialect(oDialect),
      m_sName(sName),
      m_pWriter(std::move(pWriter)),
      m_fnConnectReader(std::move(fnConnectReader)),
      m_fnCheckSame(std::move(fnCheckSame)) {}

bool CSqlStore::StillSame(std::string& sWhy) {
    if (m_sLostWhy.empty() && (!m_fnCheckSame || m_fnCheckSame(m_sLostWhy))) {
        return true;
    }
    sWhy = m_sLostWhy;
    return false;
}

// A transaction that committed into a file no longer at the store's path (deleted or
// replaced meanwhile) counts as failed: what it wrote is gone at the next start.
bool CSqlStore::Write(const char* szWhat, const FnBody& fnBody, std::string& sErrMsg,
                      DURABILITY eDurability) {
    std::lock_guard<std::mutex> oLock(m_mtxWriter);
    std::string sWhy;
    if (!WriterDurability(eDurability, sWhy)) {
        sErrMsg = "store " + m_sName + ": " + szWhat + ": " + sWhy;
        return false;
    }
    for (int iTry = 1; StillSame(sWhy); ++iTry) {
        bool bRetryable = false;
        if (RunTransaction(*m_pWriter, m_oDialect.m_szBeginWrite, fnBody, bRetryable, sWhy)) {
            if (StillSame(sWhy)) {
                return true;
            }
            break;
        }
        if (!bRetryable || iTry >= kMaxWriteTries) {
            break;
        }
    }
    sErrMsg = "store " + m_sName + ": " + szWhat + ": " + sWhy;
    return false;
}

// Under m_mtxWriter, outside any transaction (where the databases allow the change). A
// transaction that must be on disk never runs while the writer's commits are set not to
// wait: the setting is restored first, or the write fails. Set first, then marked, so a
// failure on the way leaves it marked.
bool CSqlStore::WriterDurability(DURABILITY eDurability, std::string& sWhy) {
    const bool bMayLose = eDurability == DU_MAY_LOSE;
    if (bMayLose == m_bMayLose) {
        return true;
    }
    m_bMayLose = true;
    if (!Exec(*m_pWriter, bMayLose ? m_oDialect.m_szMayLose : m_oDialect.m_szOnDisk, {}, sWhy)) {
        return false;
    }
    m_bMayLose = bMayLose;
    return true;
}

std::unique_ptr<ISqlConn> CSqlStore::TakeReader(std::string& sErrMsg) {
    {
        std::lock_guard<std::mutex> oLock(m_mtxReaders);
        if (!m_vecIdleReaders.empty()) {
            std::unique_ptr<ISqlConn> pConn = std::move(m_vecIdleReaders.back());
            m_vecIdleReaders.pop_back();
            return pConn;
        }
    }
    return m_fnConnectReader(sErrMsg);
}

void CSqlStore::GiveBackReader(std::unique_ptr<ISqlConn> pConn) {
    std::lock_guard<std::mutex> oLock(m_mtxReaders);
    if (m_vecIdleReaders.size() < kMaxIdleReaders) {
        m_vecIdleReaders.push_back(std::move(pConn));
    }
}

bool CSqlStore::Read(const char* szWhat, const FnBody& fnBody, std::string& sErrMsg) {
    std::string sWhy;
    std::unique_ptr<ISqlConn> pConn = TakeReader(sWhy);
    bool bRetryable = false;
    const bool bOk = pConn != nullptr &&
                     RunTransaction(*pConn, m_oDialect.m_szBeginRead, fnBody, bRetryable, sWhy);
    if (pConn != nullptr) {
        GiveBackReader(std::move(pConn));
    }
    if (!bOk) {
        sErrMsg = "store " + m_sName + ": " + szWhat + ": " + sWhy;
    }
    return bOk;
}

bool CSqlStore::LoadDetails(ISqlConn& oConn, bool bWithDeliveries, bool bWithData,
                            std::vector<SMessage>& vecMessages, std::string& sErrMsg) {
    if (vecMessages.empty()) {
        return true;
    }
    std::map<int64_t, SMessage*> mapById;
    for (SMessage& oMessage : vecMessages) {
        mapById[oMessage.m_llId] = &oMessage;
    }
    const std::string sIn = " WHERE message_id IN (" + IdList(vecMessages) + ") ";
    std::vector<SqlRow> vecRows;
    if (!oConn.Exec(std::string("SELECT message_id, idx, name, size, sha256") +
                        (bWithData ? ", data" : "") + " FROM attachments" + sIn +
                        "ORDER BY message_id, idx",
                    {}, &vecRows, nullptr, sErrMsg)) {
        return false;
    }
    for (const SqlRow& vecRow : vecRows) {
        CRowReader oRow(vecRow);
        SMessage& oMessage = *mapById.at(oRow.Int());
        SAttachment oAttachment;
        oAttachment.m_dwIndex = static_cast<uint32_t>(oRow.Int());
        oAttachment.m_sName = oRow.Str();
        oAttachment.m_ddwSize = static_cast<uint64_t>(oRow.Int());
        oAttachment.m_sSha256Hex = oRow.Str();
        if (bWithData) {
            oAttachment.m_sData = oRow.Str();
        }
        oMessage.m_vecAttachments.push_back(std::move(oAttachment));
    }
    if (!bWithDeliveries) {
        return true;
    }
    vecRows.clear();
    if (!oConn.Exec("SELECT message_id, at, outcome, detail FROM deliveries" + sIn +
                        "ORDER BY message_id, id",
                    {}, &vecRows, nullptr, sErrMsg)) {
        return false;
    }
    for (const SqlRow& vecRow : vecRows) {
        CRowReader oRow(vecRow);
        SMessage& oMessage = *mapById.at(oRow.Int());
        SDelivery oDelivery;
        oDelivery.m_llAtMs = oRow.Int();
        oDelivery.m_eOutcome = static_cast<OUTCOME>(oRow.Int());
        oDelivery.m_sDetail = oRow.Str();
        oMessage.m_vecDeliveries.push_back(std::move(oDelivery));
    }
    return true;
}

bool CSqlStore::LoadMessages(ISqlConn& oConn, const std::string& sWhere,
                             const std::vector<SSqlParam>& vecParams,
                             const std::string& sOrderLimit, bool bWithDeliveries, bool bWithData,
                             std::vector<SMessage>& vecMessages, std::string& sErrMsg) {
    std::vector<SqlRow> vecRows;
    if (!oConn.Exec(std::string("SELECT ") + kMessageColumns + (bWithData ? ", image" : "") +
                        " FROM messages " + sWhere + sOrderLimit,
                    vecParams, &vecRows, nullptr, sErrMsg)) {
        return false;
    }
    vecMessages.clear();
    for (const SqlRow& vecRow : vecRows) {
        vecMessages.push_back(RowToMessage(vecRow, bWithData));
    }
    return LoadDetails(oConn, bWithDeliveries, bWithData, vecMessages, sErrMsg);
}

// A message whose channel and package hash match one stored since llDedupeSinceMs is a
// duplicate: the unique dedupe key refuses the second row, also when another relay's
// transaction stored the first. A copy stored before the window gives its key up to the
// new one. The usual case (no earlier copy) costs one statement.
bool CSqlStore::InsertOne(ISqlConn& oConn, const SMessage& oMessage, int64_t llDedupeSinceMs,
                          SInsertOutcome& oOutcome, std::string& sErrMsg) {
    static const std::string sInsertOne =
        kInsertMessages + ValuesList<kMessageParams>(1) + kSkipStoredKey;
    SRowTexts oTexts;
    std::vector<SSqlParam> vecParams;
    AppendMessageParams(oMessage, oTexts, vecParams);
    const SSqlParam oKey = vecParams[kDedupeKeyParam];
    // Each round either stores the message, finds the copy it duplicates, or frees a
    // stale key; a key freed and taken again at once by another relay costs a round.
    const int kRounds = 4;
    for (int iRound = 0; iRound < kRounds; ++iRound) {
        int64_t llId = 0;
        if (!oConn.Insert(sInsertOne, vecParams, llId, sErrMsg)) {
            return false;
        }
        if (llId != 0) {
            oOutcome.m_bDuplicate = false;
            oOutcome.m_llId = llId;
            std::vector<SAttachmentRow> vecAttachments;
            AppendAttachmentRows(llId, oMessage, vecAttachments);
            return InsertAttachments(oConn, vecAttachments, sErrMsg);
        }
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT id, received_at FROM messages WHERE dedupe_key = $1", {oKey},
                        &vecRows, nullptr, sErrMsg)) {
            return false;
        }
        if (vecRows.empty()) {
            continue;  // deleted meanwhile
        }
        const int64_t llEarlierId = vecRows[0].at(0).m_llValue;
        if (vecRows[0].at(1).m_llValue >= llDedupeSinceMs) {
            oOutcome.m_bDuplicate = true;
            oOutcome.m_llId = llEarlierId;
            return true;
        }
        if (!Exec(oConn, "UPDATE messages SET dedupe_key = NULL WHERE id = $1",
                  {SSqlParam::Int(llEarlierId)}, sErrMsg)) {
            return false;
        }
    }
    sErrMsg = "the dedupe key kept changing hands";
    return false;
}

// Stores the messages vecIndexes names in one statement. Those whose dedupe key is
// already taken come back without an id (vecOutcomes[i].m_llId stays 0) for InsertOne to
// sort out: a duplicate, or a stale key to free.
bool CSqlStore::InsertRows(ISqlConn& oConn, const std::vector<SMessage>& vecMessages,
                           const size_t* pIndexes, size_t nRows,
                           std::vector<SInsertOutcome>& vecOutcomes, std::string& sErrMsg) {
    std::vector<SRowTexts> vecTexts(nRows);
    std::vector<SSqlParam> vecParams;
    vecParams.reserve(nRows * kMessageParams);
    for (size_t i = 0; i < nRows; ++i) {
        AppendMessageParams(vecMessages[pIndexes[i]], vecTexts[i], vecParams);
    }
    std::vector<SqlRow> vecRows;
    if (!oConn.Exec(kInsertMessages + ValuesList<kMessageParams>(nRows) + kSkipStoredKey +
                        " RETURNING id, dedupe_key",
                    vecParams, &vecRows, nullptr, sErrMsg)) {
        return false;
    }
    // Two copies of one request in a statement: the first row takes the key.
    for (const SqlRow& vecRow : vecRows) {
        for (size_t i = 0; i < nRows; ++i) {
            SInsertOutcome& oOutcome = vecOutcomes[pIndexes[i]];
            if (oOutcome.m_llId == 0 && vecTexts[i].m_sKey == vecRow.at(1).m_sValue) {
                oOutcome.m_llId = vecRow.at(0).m_llValue;
                break;
            }
        }
    }
    std::vector<SAttachmentRow> vecAttachments;
    for (size_t i = 0; i < nRows; ++i) {
        const int64_t llId = vecOutcomes[pIndexes[i]].m_llId;
        if (llId != 0) {
            AppendAttachmentRows(llId, vecMessages[pIndexes[i]], vecAttachments);
        }
    }
    return InsertAttachments(oConn, vecAttachments, sErrMsg);
}

bool CSqlStore::InsertAttachments(ISqlConn& oConn, const std::vector<SAttachmentRow>& vecRows,
                                  std::string& sErrMsg) {
    std::vector<SSqlParam> vecParams;
    for (size_t nDone = 0, nRows = 0; nDone < vecRows.size(); nDone += nRows) {
        nRows = RowsPerStatement(vecRows.size() - nDone, m_oDialect.m_nRowsPerInsert);
        vecParams.clear();
        for (size_t i = nDone; i < nDone + nRows; ++i) {
            const SAttachment& oAttachment = *vecRows[i].m_pAttachment;
            vecParams.insert(
                vecParams.end(),
                {SSqlParam::Int(vecRows[i].m_llMessageId),
                 SSqlParam::Int(static_cast<int64_t>(vecRows[i].m_nIndex)),
                 SSqlParam::Bytes(oAttachment.m_sName),
                 SSqlParam::Int(static_cast<int64_t>(oAttachment.m_sData.size())),
                 SSqlParam::Text(oAttachment.m_sSha256Hex), SSqlParam::Bytes(oAttachment.m_sData)});
        }
        if (!Exec(oConn,
                  "INSERT INTO attachments (message_id, idx, name, size, sha256, data) VALUES " +
                      ValuesList<kAttachmentParams>(nRows),
                  vecParams, sErrMsg)) {
            return false;
        }
    }
    return true;
}

// The durability promise: true only after the transaction holding the whole batch has
// committed (SQLite: WAL with synchronous=FULL syncs the log at COMMIT; PostgreSQL:
// COMMIT returns once the server has flushed it).
bool CSqlStore::InsertBatch(std::vector<SMessage>& vecMessages, int64_t llDedupeSinceMs,
                            std::vector<SInsertOutcome>& vecOutcomes, std::string& sErrMsg) {
    std::string sLockKeys;
    if (m_oDialect.m_fnLockDedupeKeys != nullptr) {
        std::vector<std::string> vecKeys;
        for (const SMessage& oMessage : vecMessages) {
            if (!oMessage.m_sPackageHash.empty()) {
                vecKeys.push_back(DedupeKey(oMessage));
            }
        }
        sLockKeys = vecKeys.empty() ? "" : m_oDialect.m_fnLockDedupeKeys(vecKeys);
    }
    auto fnInsert = [&](ISqlConn& oConn, std::string& sWhy) {
        vecOutcomes.assign(vecMessages.size(), SInsertOutcome());
        if (!sLockKeys.empty() && !Exec(oConn, sLockKeys, {}, sWhy)) {
            return false;
        }
        // Messages with a dedupe key go in multi-row statements where the dialect has
        // them; the rest, and those whose key was taken, one by one.
        std::vector<size_t> vecKeyed;
        for (size_t i = 0; i < vecMessages.size() && m_oDialect.m_nRowsPerInsert > 1; ++i) {
            if (!vecMessages[i].m_sPackageHash.empty()) {
                vecKeyed.push_back(i);
            }
        }
        for (size_t nDone = 0, nRows = 0; nDone < vecKeyed.size(); nDone += nRows) {
            nRows = RowsPerStatement(vecKeyed.size() - nDone, m_oDialect.m_nRowsPerInsert);
            if (!InsertRows(oConn, vecMessages, &vecKeyed[nDone], nRows, vecOutcomes, sWhy)) {
                return false;
            }
        }
        for (size_t i = 0; i < vecMessages.size(); ++i) {
            if (vecOutcomes[i].m_llId == 0 &&
                !InsertOne(oConn, vecMessages[i], llDedupeSinceMs, vecOutcomes[i], sWhy)) {
                return false;
            }
        }
        return true;
    };
    if (!Write("storing messages", fnInsert, sErrMsg)) {
        vecOutcomes.clear();
        m_oHealth.NoteFailure(sErrMsg, vecMessages.size());
        return false;
    }
    m_oHealth.NoteSuccess();
    for (size_t i = 0; i < vecMessages.size(); ++i) {
        if (!vecOutcomes[i].m_bDuplicate) {
            vecMessages[i].m_llId = vecOutcomes[i].m_llId;
        }
    }
    return true;
}

std::string CSqlStore::LeaseClock(std::vector<SSqlParam>& vecParams, int64_t llNowMs) const {
    if (m_oDialect.m_szClockMs != nullptr) {
        return m_oDialect.m_szClockMs;
    }
    vecParams.push_back(SSqlParam::Int(llNowMs));
    return "$" + std::to_string(vecParams.size());
}

bool CSqlStore::ClaimDue(int64_t llNowMs, int64_t llLeaseMs,
                         const std::vector<relay_proto::CHANNEL>& vecChannels, uint32_t dwMax,
                         const std::string& sOwner, std::vector<SMessage>& vecClaimed,
                         std::string& sErrMsg) {
    vecClaimed.clear();
    if (vecChannels.empty() || dwMax == 0) {
        return true;
    }
    std::string sChannels;
    for (relay_proto::CHANNEL eChannel : vecChannels) {
        sChannels += (sChannels.empty() ? "" : ",") + std::to_string(static_cast<int>(eChannel));
    }
    std::vector<SSqlParam> vecParams = {SSqlParam::Int(MS_DELIVERING), SSqlParam::Int(llLeaseMs),
                                        SSqlParam::Text(sOwner),       SSqlParam::Int(MS_QUEUED),
                                        SSqlParam::Int(llNowMs),       SSqlParam::Int(dwMax)};
    const std::string sClock = LeaseClock(vecParams, llNowMs);
    // Oldest first, read straight off the due index (status, next_attempt_at, channel):
    // the channels only filter (the unary plus keeps them out of the index search), so
    // the order needs no sorting of every message due in the same millisecond.
    const std::string sSql =
        "UPDATE messages SET status = $1, lease_until = " + sClock +
        " + $2, lease_owner = $3 WHERE id IN (SELECT id FROM messages WHERE status = $4 AND "
        "next_attempt_at <= $5 AND +channel IN (" +
        sChannels + ") ORDER BY next_attempt_at, channel, id LIMIT $6" + m_oDialect.m_szSkipLocked +
        ") RETURNING id";
    std::vector<SqlRow> vecRows;
    auto fnClaim = [&](ISqlConn& oConn, std::string& sWhy) {
        vecRows.clear();
        return oConn.Exec(sSql, vecParams, &vecRows, nullptr, sWhy);
    };
    if (!Write("claiming messages", fnClaim, sErrMsg, DU_MAY_LOSE)) {
        return false;
    }
    if (vecRows.empty()) {
        return true;
    }
    std::string sIds;
    for (const SqlRow& vecRow : vecRows) {
        sIds += (sIds.empty() ? "" : ",") + std::to_string(vecRow.at(0).m_llValue);
    }
    auto fnLoad = [&](ISqlConn& oConn, std::string& sWhy) {
        return LoadMessages(oConn, "WHERE id IN (" + sIds + ")", {}, " ORDER BY id", true, true,
                            vecClaimed, sWhy);
    };
    return Read("loading claimed messages", fnLoad, sErrMsg);
}

bool CSqlStore::ChangeClaims(const char* szWhat, const std::string& sSqlHead,
                             const std::vector<SSqlParam>& vecParams,
                             const std::vector<int64_t>& vecIds, uint64_t& ddwChanged,
                             std::string& sErrMsg) {
    ddwChanged = 0;
    if (vecIds.empty()) {
        return true;
    }
    std::string sIds;
    for (int64_t llId : vecIds) {
        sIds += (sIds.empty() ? "" : ",") + std::to_string(llId);
    }
    const std::string sSql = sSqlHead + " AND id IN (" + sIds + ")";
    auto fnChange = [&](ISqlConn& oConn, std::string& sWhy) {
        return oConn.Exec(sSql, vecParams, nullptr, &ddwChanged, sWhy);
    };
    return Write(szWhat, fnChange, sErrMsg);
}

bool CSqlStore::RenewLeases(const std::vector<int64_t>& vecIds, int64_t llNowMs, int64_t llLeaseMs,
                            const std::string& sOwner, std::string& sErrMsg) {
    std::vector<SSqlParam> vecParams = {SSqlParam::Int(llLeaseMs), SSqlParam::Text(sOwner),
                                        SSqlParam::Int(MS_DELIVERING), SSqlParam::Text("")};
    const std::string sClock = LeaseClock(vecParams, llNowMs);
    uint64_t ddwChanged = 0;
    return ChangeClaims("renewing leases",
                        "UPDATE messages SET lease_until = " + sClock +
                            " + $1, lease_owner = $2 WHERE status = $3 AND lease_owner IN ($2, $4)",
                        vecParams, vecIds, ddwChanged, sErrMsg);
}

bool CSqlStore::ReleaseClaims(const std::vector<int64_t>& vecIds, int64_t llNowMs,
                              const std::string& sOwner, std::string& sErrMsg) {
    uint64_t ddwChanged = 0;
    return ChangeClaims("handing claims back",
                        "UPDATE messages SET status = $1, next_attempt_at = $2, lease_until = 0, "
                        "lease_owner = $3 WHERE status = $4 AND lease_owner = $5",
                        {SSqlParam::Int(MS_QUEUED), SSqlParam::Int(llNowMs), SSqlParam::Text(""),
                         SSqlParam::Int(MS_DELIVERING), SSqlParam::Text(sOwner)},
                        vecIds, ddwChanged, sErrMsg);
}

bool CSqlStore::RecordAttempts(const std::vector<SAttemptRecord>& vecRecords,
                               std::string& sErrMsg) {
    auto fnRecord = [&](ISqlConn& oConn, std::string& sWhy) {
        for (const SAttemptRecord& oRecord : vecRecords) {
            const SDelivery& oAttempt = oRecord.m_oAttempt;
            const std::string sLastError =
                oAttempt.m_eOutcome == OC_DELIVERED ? std::string() : oAttempt.m_sDetail;
            uint64_t ddwChanged = 0;
            if (!oConn.Exec("UPDATE messages SET status = $2, attempts = attempts + 1, "
                            "last_error = $3, next_attempt_at = $4, lease_until = 0, "
                            "lease_owner = $5 WHERE id = $1",
                            {SSqlParam::Int(oRecord.m_llId), SSqlParam::Int(oRecord.m_eStatus),
                             SSqlParam::Text(sLastError), SSqlParam::Int(oRecord.m_llNextAttemptMs),
                             SSqlParam::Text("")},
                            nullptr, &ddwChanged, sWhy)) {
                return false;
            }
            // A message deleted while it was being delivered keeps no history.
            if (ddwChanged != 0 &&
                !Exec(oConn,
                      "INSERT INTO deliveries (message_id, at, outcome, detail) VALUES ($1, $2, "
                      "$3, $4)",
                      {SSqlParam::Int(oRecord.m_llId), SSqlParam::Int(oAttempt.m_llAtMs),
                       SSqlParam::Int(oAttempt.m_eOutcome), SSqlParam::Text(oAttempt.m_sDetail)},
                      sWhy)) {
                return false;
            }
        }
        return true;
    };
    return Write("recording delivery attempts", fnRecord, sErrMsg);
}

bool CSqlStore::RequeueExpired(int64_t llNowMs, int64_t llMarginMs, uint32_t& dwRequeued,
                               std::string& sErrMsg) {
    std::vector<SSqlParam> vecParams = {SSqlParam::Int(MS_QUEUED), SSqlParam::Int(llNowMs),
                                        SSqlParam::Text(""), SSqlParam::Int(MS_DELIVERING),
                                        SSqlParam::Int(llMarginMs)};
    const std::string sSql =
        "UPDATE messages SET status = $1, next_attempt_at = $2, lease_until = 0, lease_owner = $3 "
        "WHERE status = $4 AND lease_until < " +
        LeaseClock(vecParams, llNowMs) + " - $5";
    uint64_t ddwChanged = 0;
    auto fnRequeue = [&](ISqlConn& oConn, std::string& sWhy) {
        return oConn.Exec(sSql, vecParams, nullptr, &ddwChanged, sWhy);
    };
    if (!Write("requeueing expired claims", fnRequeue, sErrMsg)) {
        return false;
    }
    dwRequeued = static_cast<uint32_t>(ddwChanged);
    return true;
}

bool CSqlStore::RequeueAtStart(int64_t llNowMs, uint32_t& dwRequeued, std::string& sErrMsg) {
    dwRequeued = 0;
    if (!m_oDialect.m_bOneRelay) {
        return true;
    }
    uint64_t ddwChanged = 0;
    auto fnRequeue = [&](ISqlConn& oConn, std::string& sWhy) {
        return oConn.Exec(
            "UPDATE messages SET status = $1, next_attempt_at = $2, lease_until = 0, "
            "lease_owner = $3 WHERE status = $4",
            {SSqlParam::Int(MS_QUEUED), SSqlParam::Int(llNowMs), SSqlParam::Text(""),
             SSqlParam::Int(MS_DELIVERING)},
            nullptr, &ddwChanged, sWhy);
    };
    if (!Write("taking back this relay's claims", fnRequeue, sErrMsg)) {
        return false;
    }
    dwRequeued = static_cast<uint32_t>(ddwChanged);
    return true;
}

bool CSqlStore::Retry(int64_t llId, int64_t llNowMs, CHANGE_RESULT& eResult, std::string& sErrMsg) {
    auto fnRetry = [&](ISqlConn& oConn, std::string& sWhy) {
        uint64_t ddwChanged = 0;
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("UPDATE messages SET status = $2, next_attempt_at = $3 WHERE id = $1 "
                        "AND status = $4",
                        {SSqlParam::Int(llId), SSqlParam::Int(MS_QUEUED), SSqlParam::Int(llNowMs),
                         SSqlParam::Int(MS_FAILED)},
                        nullptr, &ddwChanged, sWhy) ||
            (ddwChanged == 0 && !oConn.Exec("SELECT id FROM messages WHERE id = $1",
                                            {SSqlParam::Int(llId)}, &vecRows, nullptr, sWhy))) {
            return false;
        }
        eResult = ddwChanged != 0 ? CR_DONE : vecRows.empty() ? CR_NOT_FOUND : CR_CONFLICT;
        return true;
    };
    return Write("retrying a message", fnRetry, sErrMsg);
}

bool CSqlStore::QueueDepths(std::vector<uint64_t>& vecDepths, std::string& sErrMsg) {
    vecDepths.assign(relay_proto::CHANNEL_COUNT, 0);
    auto fnCount = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT channel, count(*) FROM messages WHERE status IN ($1, $2) GROUP "
                        "BY channel",
                        {SSqlParam::Int(MS_QUEUED), SSqlParam::Int(MS_DELIVERING)}, &vecRows,
                        nullptr, sWhy)) {
            return false;
        }
        for (const SqlRow& vecRow : vecRows) {
            const int64_t llChannel = vecRow.at(0).m_llValue;
            if (llChannel >= 0 && llChannel < relay_proto::CHANNEL_COUNT) {
                vecDepths[static_cast<size_t>(llChannel)] =
                    static_cast<uint64_t>(vecRow.at(1).m_llValue);
            }
        }
        return true;
    };
    return Read("counting queued messages", fnCount, sErrMsg);
}

bool CSqlStore::ListMessages(const SMessageQuery& oQuery, SMessagePage& oPage,
                             std::string& sErrMsg) {
    oPage = SMessagePage();
    // A name holding ';' cannot be one of the stored names.
    if (oQuery.m_sReceiver.find(';') != std::string::npos) {
        return true;
    }
    std::vector<SSqlParam> vecParams;
    std::string sWhere;
    auto fnAnd = [&](const std::string& sCondition, SSqlParam oParam) {
        vecParams.push_back(oParam);
        const std::string sParam = "$" + std::to_string(vecParams.size());
        std::string sExpanded = sCondition;
        for (size_t nAt; (nAt = sExpanded.find("$?")) != std::string::npos;) {
            sExpanded.replace(nAt, 2, sParam);
        }
        sWhere += (sWhere.empty() ? "WHERE " : " AND ") + sExpanded;
    };
    if (!oQuery.m_bAnyChannel) {
        fnAnd("channel = $?", SSqlParam::Int(oQuery.m_eChannel));
    }
    if (!oQuery.m_bAnyStatus) {
        fnAnd("status = $?", SSqlParam::Int(oQuery.m_eStatus));
    }
    const std::string sReceiver = ";" + oQuery.m_sReceiver + ";";
    if (!oQuery.m_sReceiver.empty()) {
        fnAnd("(" + m_oDialect.m_fnContains("receivers", "$?") + " OR " +
                  m_oDialect.m_fnContains("cc", "$?") + ")",
              SSqlParam::Text(sReceiver));
    }
    if (!oQuery.m_sText.empty()) {
        fnAnd("(" + m_oDialect.m_fnContains("title", "$?") + " OR " +
                  m_oDialect.m_fnContains("content", "$?") + ")",
              SSqlParam::Text(oQuery.m_sText));
    }
    const std::string sLimit = " ORDER BY id DESC LIMIT $" + std::to_string(vecParams.size() + 1) +
                               " OFFSET $" + std::to_string(vecParams.size() + 2);
    auto fnList = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT count(*) FROM messages " + sWhere, vecParams, &vecRows, nullptr,
                        sWhy)) {
            return false;
        }
        oPage.m_ddwTotal = static_cast<uint64_t>(vecRows.at(0).at(0).m_llValue);
        std::vector<SSqlParam> vecPageParams = vecParams;
        vecPageParams.push_back(SSqlParam::Int(oQuery.m_dwLimit));
        vecPageParams.push_back(SSqlParam::Int(oQuery.m_dwOffset));
        return LoadMessages(oConn, sWhere, vecPageParams, sLimit, false, false, oPage.m_vecMessages,
                            sWhy);
    };
    return Read("listing messages", fnList, sErrMsg);
}

bool CSqlStore::GetMessage(int64_t llId, bool bWithData, SMessage& oMessage, bool& bFound,
                           std::string& sErrMsg) {
    std::vector<SMessage> vecMessages;
    auto fnGet = [&](ISqlConn& oConn, std::string& sWhy) {
        return LoadMessages(oConn, "WHERE id = $1", {SSqlParam::Int(llId)}, "", true, bWithData,
                            vecMessages, sWhy);
    };
    if (!Read("reading a message", fnGet, sErrMsg)) {
        return false;
    }
    bFound = !vecMessages.empty();
    if (bFound) {
        oMessage = std::move(vecMessages[0]);
    }
    return true;
}

// Page by page, each in a read transaction of its own, so a long dump never holds one
// snapshot (and the log it pins) while a server keeps writing.
bool CSqlStore::ForEachMessage(const std::function<bool(const SMessage&)>& fnEach,
                               std::string& sErrMsg) {
    int64_t llAfterId = 0;
    for (;;) {
        std::vector<SMessage> vecMessages;
        auto fnPage = [&](ISqlConn& oConn, std::string& sWhy) {
            return LoadMessages(oConn, "WHERE id > $1", {SSqlParam::Int(llAfterId)},
                                std::string(" ORDER BY id LIMIT ") + kForEachPage, true, false,
                                vecMessages, sWhy);
        };
        if (!Read("reading messages", fnPage, sErrMsg)) {
            return false;
        }
        if (vecMessages.empty()) {
            return true;
        }
        for (const SMessage& oMessage : vecMessages) {
            if (!fnEach(oMessage)) {
                return true;
            }
        }
        llAfterId = vecMessages.back().m_llId;
    }
}

bool CSqlStore::DeleteMessage(int64_t llId, CHANGE_RESULT& eResult, std::string& sErrMsg) {
    auto fnDelete = [&](ISqlConn& oConn, std::string& sWhy) {
        uint64_t ddwChanged = 0;
        if (!oConn.Exec("DELETE FROM messages WHERE id = $1", {SSqlParam::Int(llId)}, nullptr,
                        &ddwChanged, sWhy)) {
            return false;
        }
        eResult = ddwChanged != 0 ? CR_DONE : CR_NOT_FOUND;
        return true;
    };
    return Write("deleting a message", fnDelete, sErrMsg);
}

bool CSqlStore::MaxMessageId(int64_t& llMaxId, std::string& sErrMsg) {
    auto fnMax = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT max(id) FROM messages", {}, &vecRows, nullptr, sWhy)) {
            return false;
        }
        llMaxId = vecRows.empty() ? 0 : vecRows[0].at(0).m_llValue;
        return true;
    };
    return Read("reading the newest id", fnMax, sErrMsg);
}

bool CSqlStore::InsertKey(const SKey& oKey, CHANGE_RESULT& eResult, std::string& sErrMsg) {
    const std::string sReceivers = JoinNames(oKey.m_vecReceivers);
    const std::string sCc = JoinNames(oKey.m_vecCc);
    const std::string sChannels = JoinChannels(oKey.m_vecChannels);
    auto fnInsert = [&](ISqlConn& oConn, std::string& sWhy) {
        uint64_t ddwChanged = 0;
        if (!oConn.Exec(
                std::string("INSERT INTO api_keys (") + kKeyColumns +
                    ") VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (id) DO NOTHING",
                {SSqlParam::Text(oKey.m_sId), SSqlParam::Text(sReceivers), SSqlParam::Text(sCc),
                 SSqlParam::Text(oKey.m_sSubject), SSqlParam::Text(sChannels),
                 SSqlParam::Int(oKey.m_llCreatedAtMs), SSqlParam::Int(oKey.m_bRevoked ? 1 : 0)},
                nullptr, &ddwChanged, sWhy)) {
            return false;
        }
        eResult = ddwChanged != 0 ? CR_DONE : CR_CONFLICT;
        return true;
    };
    return Write("registering a key", fnInsert, sErrMsg);
}

bool CSqlStore::FindKey(const std::string& sId, SKey& oKey, bool& bFound, std::string& sErrMsg) {
    auto fnFind = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec(std::string("SELECT ") + kKeyColumns + " FROM api_keys WHERE id = $1",
                        {SSqlParam::Text(sId)}, &vecRows, nullptr, sWhy)) {
            return false;
        }
        bFound = !vecRows.empty();
        if (bFound) {
            oKey = RowToKey(vecRows[0]);
        }
        return true;
    };
    if (!Read("looking up a key", fnFind, sErrMsg)) {
        m_oHealth.NoteFailure(sErrMsg, 1);
        return false;
    }
    return true;
}

bool CSqlStore::ListKeys(std::vector<SKey>& vecKeys, std::string& sErrMsg) {
    auto fnList = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec(
                std::string("SELECT ") + kKeyColumns + " FROM api_keys ORDER BY created_at, id", {},
                &vecRows, nullptr, sWhy)) {
            return false;
        }
        vecKeys.clear();
        for (const SqlRow& vecRow : vecRows) {
            vecKeys.push_back(RowToKey(vecRow));
        }
        return true;
    };
    return Read("listing keys", fnList, sErrMsg);
}

bool CSqlStore::RevokeKey(const std::string& sId, CHANGE_RESULT& eResult, std::string& sErrMsg) {
    auto fnRevoke = [&](ISqlConn& oConn, std::string& sWhy) {
        uint64_t ddwChanged = 0;
        if (!oConn.Exec("UPDATE api_keys SET revoked = 1 WHERE id = $1", {SSqlParam::Text(sId)},
                        nullptr, &ddwChanged, sWhy)) {
            return false;
        }
        eResult = ddwChanged != 0 ? CR_DONE : CR_NOT_FOUND;
        return true;
    };
    return Write("revoking a key", fnRevoke, sErrMsg);
}

// The last change of a final message is its arrival or its last attempt, whichever is
// later; the status index finds the candidates oldest first.
bool CSqlStore::DeleteExpired(int64_t llBeforeMs, uint32_t dwMax, uint32_t& dwDeleted,
                              std::string& sErrMsg) {
    dwDeleted = 0;
    const std::string sIn = std::to_string(MS_CAPTURED) + ", " + std::to_string(MS_DELIVERED) +
                            ", " + std::to_string(MS_FAILED);
    auto fnDelete = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT m.id FROM messages m WHERE m.status IN (" + sIn +
                            ") AND m.received_at < $1 AND NOT EXISTS (SELECT 1 FROM deliveries d "
                            "WHERE d.message_id = m.id AND d.at >= $1) ORDER BY m.id LIMIT $2",
                        {SSqlParam::Int(llBeforeMs), SSqlParam::Int(dwMax)}, &vecRows, nullptr,
                        sWhy)) {
            return false;
        }
        std::string sIds;
        for (const SqlRow& oRow : vecRows) {
            sIds += (sIds.empty() ? "" : ", ") + std::to_string(oRow.at(0).m_llValue);
        }
        uint64_t ddwChanged = 0;
        if (!sIds.empty() && !oConn.Exec("DELETE FROM messages WHERE id IN (" + sIds + ")", {},
                                         nullptr, &ddwChanged, sWhy)) {
            return false;
        }
        dwDeleted = static_cast<uint32_t>(ddwChanged);
        return true;
    };
    return Write("deleting expired messages", fnDelete, sErrMsg);
}

bool CSqlStore::Reclaim(std::string& sErrMsg) {
    std::lock_guard<std::mutex> oLock(m_mtxWriter);
    for (const char* szSql : m_oDialect.m_vecReclaim) {
        std::string sWhy;
        if (!Exec(*m_pWriter, szSql, {}, sWhy)) {
            sErrMsg = "store " + m_sName + ": giving space back: " + sWhy;
            return false;
        }
    }
    return true;
}

bool CSqlStore::CountByStatus(std::vector<uint64_t>& vecCounts, std::string& sErrMsg) {
    vecCounts.assign(STATUS_COUNT, 0);
    auto fnCount = [&](ISqlConn& oConn, std::string& sWhy) {
        std::vector<SqlRow> vecRows;
        if (!oConn.Exec("SELECT status, count(*) FROM messages GROUP BY status", {}, &vecRows,
                        nullptr, sWhy)) {
            return false;
        }
        for (const SqlRow& oRow : vecRows) {
            const int64_t llStatus = oRow.at(0).m_llValue;
            if (llStatus >= 0 && llStatus < STATUS_COUNT) {
                vecCounts[static_cast<size_t>(llStatus)] =
                    static_cast<uint64_t>(oRow.at(1).m_llValue);
            }
        }
        return true;
    };
    return Read("counting messages", fnCount, sErrMsg);
}

// Ready when a write would succeed now. While writes fail, and when none succeeded lately
// (an idle relay), one small write is made for real; its success ends a failing spell.
bool CSqlStore::Ping(std::string& sErrMsg) {
    std::string sWhy;
    if (!m_oHealth.Failing(sWhy) && m_oHealth.SinceSuccessMs() < kProbeAfterIdleMs) {
        return true;
    }
    const int64_t llNowMs = WallNowMs();
    auto fnProbe = [llNowMs](ISqlConn& oConn, std::string& sProbeWhy) {
        return Exec(oConn, kProbe, {SSqlParam::Int(llNowMs)}, sProbeWhy);
    };
    if (!Write("writing", fnProbe, sErrMsg)) {
        m_oHealth.NoteFailure(sErrMsg, 0);
        return false;
    }
    m_oHealth.NoteSuccess();
    return true;
}

}  // namespace relayd
