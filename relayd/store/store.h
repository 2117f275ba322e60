// The relay's store: messages, their delivery history, and keys registered over HTTP.
// Two implementations share this interface: SQLite (a file, the default) and PostgreSQL
// (shared by two relays). Every method is safe to call from any thread; each returns
// false with "what failed: why" in sErrMsg when the store could not do it, and then
// nothing of that call took effect.
#ifndef RELAYD_STORE_STORE_H
#define RELAYD_STORE_STORE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/record/key.h"
#include "relayd/record/message.h"

namespace relayd {

// What a list request asks for; empty fields match everything.
struct SMessageQuery {
    bool m_bAnyChannel = true;
    relay_proto::CHANNEL m_eChannel = relay_proto::CH_SMS;
    bool m_bAnyStatus = true;
    STATUS m_eStatus = MS_QUEUED;
    std::string m_sReceiver;  // one of the receivers or cc is exactly this name
    std::string m_sText;      // a substring of the title or the content
    uint32_t m_dwLimit = 50;
    uint32_t m_dwOffset = 0;
};

struct SMessagePage {
    uint64_t m_ddwTotal = 0;              // every match, not only this page
    std::vector<SMessage> m_vecMessages;  // newest first; no deliveries, no data
};

// One message's fate in InsertBatch.
struct SInsertOutcome {
    bool m_bDuplicate = false;  // the same channel and package hash is already stored
    int64_t m_llId = 0;         // the new record's id, or the earlier one's
};

enum CHANGE_RESULT { CR_DONE, CR_NOT_FOUND, CR_CONFLICT };

// One attempt's record for RecordAttempts.
struct SAttemptRecord {
    int64_t m_llId = 0;
    SDelivery m_oAttempt;
    STATUS m_eStatus = MS_QUEUED;
    int64_t m_llNextAttemptMs = 0;
};

class IStore {
public:
    virtual ~IStore() = default;

    // Stores the messages of one batch in one transaction and returns only when it is on
    // disk (or committed by the database server). A message whose channel and package
    // hash match one stored at or after llDedupeSinceMs is not stored again: its outcome
    // is a duplicate. The stored messages get their ids in vecMessages[i].m_llId.
    // False: nothing of the batch was stored.
    virtual bool InsertBatch(std::vector<SMessage>& vecMessages, int64_t llDedupeSinceMs,
                             std::vector<SInsertOutcome>& vecOutcomes, std::string& sErrMsg) = 0;

    // --- Delivery -------------------------------------------------------------------
    // Leases are judged by the store's clock: the database server's on PostgreSQL (two
    // relays may disagree about the time), llNowMs on SQLite (one relay, one clock).
    //
    // Moves up to dwMax queued messages of the channels in vecChannels that are due at
    // llNowMs (oldest first) to delivering, leased to sOwner for llLeaseMs, and returns them
    // whole (attachments and image data included). Rows another relay holds are skipped,
    // not waited for.
    virtual bool ClaimDue(int64_t llNowMs, int64_t llLeaseMs,
                          const std::vector<relay_proto::CHANNEL>& vecChannels, uint32_t dwMax,
                          const std::string& sOwner, std::vector<SMessage>& vecClaimed,
                          std::string& sErrMsg) = 0;
    // The owner at work on them extends its leases on the delivering messages vecIds to
    // llLeaseMs from now (a message intake stored for a synchronous attempt, held by no one
    // yet, becomes sOwner's).
    virtual bool RenewLeases(const std::vector<int64_t>& vecIds, int64_t llNowMs, int64_t llLeaseMs,
                             const std::string& sOwner, std::string& sErrMsg) = 0;
    // sOwner's claims on vecIds go back to queued, due at llNowMs, without an attempt.
    virtual bool ReleaseClaims(const std::vector<int64_t>& vecIds, int64_t llNowMs,
                               const std::string& sOwner, std::string& sErrMsg) = 0;
    // Appends each attempt to its message's history, counts it, and sets the message's
    // status (with the time the next attempt is due, for queued); the lease ends. One
    // transaction: attempts that ended at about the same time share one commit.
    virtual bool RecordAttempts(const std::vector<SAttemptRecord>& vecRecords,
                                std::string& sErrMsg) = 0;
    // Messages left delivering with a lease that ran out more than llMarginMs ago (their
    // relay died or stopped renewing) go back to queued, due at llNowMs. Returns how many
    // in dwRequeued.
    virtual bool RequeueExpired(int64_t llNowMs, int64_t llMarginMs, uint32_t& dwRequeued,
                                std::string& sErrMsg) = 0;
    // At start: on a store only one relay uses (SQLite), every message left delivering was
    // this relay's before it stopped or crashed, and goes back to queued, due at llNowMs;
    // on a shared store nothing happens here (those leases run out).
    virtual bool RequeueAtStart(int64_t llNowMs, uint32_t& dwRequeued, std::string& sErrMsg) = 0;
    // A failed message back to the queue, due now (CR_CONFLICT when it is not failed).
    virtual bool Retry(int64_t llId, int64_t llNowMs, CHANGE_RESULT& eResult,
                       std::string& sErrMsg) = 0;
    // Queued and delivering messages per channel, indexed by relay_proto::CHANNEL.
    virtual bool QueueDepths(std::vector<uint64_t>& vecDepths, std::string& sErrMsg) = 0;

    // --- Reading --------------------------------------------------------------------
    virtual bool ListMessages(const SMessageQuery& oQuery, SMessagePage& oPage,
                              std::string& sErrMsg) = 0;
    // One record with its deliveries and attachment listing; with bWithData also the
    // attachment and image bytes. bFound false when there is no such id.
    virtual bool GetMessage(int64_t llId, bool bWithData, SMessage& oMessage, bool& bFound,
                            std::string& sErrMsg) = 0;
    // Calls fnEach for every message, oldest first, with its deliveries (no data), until
    // fnEach returns false. Works while a server writes the same store.
    virtual bool ForEachMessage(const std::function<bool(const SMessage&)>& fnEach,
                                std::string& sErrMsg) = 0;
    virtual bool DeleteMessage(int64_t llId, CHANGE_RESULT& eResult, std::string& sErrMsg) = 0;
    // The highest id stored, 0 when none (for waiting on new messages).
    virtual bool MaxMessageId(int64_t& llMaxId, std::string& sErrMsg) = 0;

    // --- Keys registered over HTTP ----------------------------------------------------
    // CR_CONFLICT when the id is taken.
    virtual bool InsertKey(const SKey& oKey, CHANGE_RESULT& eResult, std::string& sErrMsg) = 0;
    // Intake's lookup for one request: a failure closes that request unanswered, and
    // counts in the store's failing spell as a failed write does (logged once, not per
    // request).
    virtual bool FindKey(const std::string& sId, SKey& oKey, bool& bFound,
                         std::string& sErrMsg) = 0;
    virtual bool ListKeys(std::vector<SKey>& vecKeys, std::string& sErrMsg) = 0;
    virtual bool RevokeKey(const std::string& sId, CHANGE_RESULT& eResult,
                           std::string& sErrMsg) = 0;

    // --- Retention ------------------------------------------------------------------
    // Deletes up to dwMax messages in a final status (captured, delivered, failed) whose
    // last change (arrival or last attempt) is before llBeforeMs, oldest first, with their
    // attachments, image and history, in one short transaction. dwDeleted: how many.
    virtual bool DeleteExpired(int64_t llBeforeMs, uint32_t dwMax, uint32_t& dwDeleted,
                               std::string& sErrMsg) = 0;
    // Gives the space of deleted messages back to the file system where the database
    // needs to be told (SQLite: incremental vacuum, then a checkpoint that truncates the
    // write-ahead log); a no-op where the database does it by itself.
    virtual bool Reclaim(std::string& sErrMsg) = 0;
    // Stored messages per status, indexed by STATUS.
    virtual bool CountByStatus(std::vector<uint64_t>& vecCounts, std::string& sErrMsg) = 0;

    // True when a write would succeed now (readiness): false while writes fail, once the
    // store's file was deleted or replaced, and when a small write made to see fails.
    virtual bool Ping(std::string& sErrMsg) = 0;
};

// Opens (creating where needed) the store sUrl names: "postgresql://..." or
// "postgres://..." for PostgreSQL, anything else a SQLite file path. Applies the schema
// migrations; refuses a store whose schema is newer than this program knows.
std::unique_ptr<IStore> OpenStore(const std::string& sUrl, std::string& sErrMsg);

// Opens the existing store sUrl names to read it (--dump): creates, migrates and writes
// nothing; a store that does not exist is an error.
std::unique_ptr<IStore> OpenStoreReadOnly(const std::string& sUrl, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_STORE_STORE_H
