// The relay's message record: what intake stores, delivery updates, and the dump and the
// HTTP API show. Times are Unix milliseconds (UTC).
#ifndef RELAYD_RECORD_MESSAGE_H
#define RELAYD_RECORD_MESSAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "relay_proto/channel.h"

namespace relayd {

// captured: no destination is configured for the channel; it is kept, never sent.
enum STATUS { MS_CAPTURED, MS_QUEUED, MS_DELIVERING, MS_DELIVERED, MS_FAILED };
enum { STATUS_COUNT = 5 };

// The outcome of one delivery attempt.
enum OUTCOME { OC_DELIVERED, OC_RETRY, OC_FAILED };
enum { OUTCOME_COUNT = 3 };

// "captured", "queued", "delivering", "delivered", "failed".
const char* StatusName(STATUS eStatus);
bool StatusFromName(const std::string& sName, STATUS& eStatus);
// "delivered", "retry", "failed".
const char* OutcomeName(OUTCOME eOutcome);
bool OutcomeFromName(const std::string& sName, OUTCOME& eOutcome);

struct SAttachment {
    uint32_t m_dwIndex = 0;
    std::string m_sName;
    uint64_t m_ddwSize = 0;
    std::string m_sSha256Hex;  // of the data, lower-case hex
    std::string m_sData;       // left empty where only the listing was loaded
};

struct SDelivery {
    int64_t m_llAtMs = 0;
    OUTCOME m_eOutcome = OC_RETRY;
    std::string m_sDetail;  // the peer's own answer, or why there was none
};

struct SMessage {
    int64_t m_llId = 0;  // grows with arrival; 0 until stored
    relay_proto::CHANNEL m_eChannel = relay_proto::CH_SMS;
    STATUS m_eStatus = MS_QUEUED;
    int64_t m_llReceivedAtMs = 0;
    std::string m_sPeer;  // "127.0.0.1:53422", "[::1]:53422"
    uint32_t m_dwTimestamp = 0;
    std::string m_sKeyId;
    std::string m_sSender;
    std::vector<std::string> m_vecReceivers;
    std::vector<std::string> m_vecCc;
    std::string m_sTitle;
    std::string m_sContent;
    std::vector<SAttachment> m_vecAttachments;
    uint64_t m_ddwImageSize = 0;
    std::string m_sImage;  // left empty where only the listing was loaded
    uint32_t m_dwAttempts = 0;
    std::string m_sLastError;
    std::vector<SDelivery> m_vecDeliveries;
    int64_t m_llNextAttemptMs = 0;  // when a queued message is due
    int64_t m_llLeaseUntilMs = 0;   // delivering: when the relay's claim runs out
    // SHA-256 of the package bytes (binary, 32 bytes): with the channel, the dedupe key.
    std::string m_sPackageHash;
};

}  // namespace relayd

#endif  // RELAYD_RECORD_MESSAGE_H
