// The message record and the key as JSON: the --dump lines and the HTTP API's shapes.
#ifndef RELAYD_RECORD_RECORD_JSON_H
#define RELAYD_RECORD_RECORD_JSON_H

#include <nlohmann/json.hpp>

#include "relayd/record/key.h"
#include "relayd/record/message.h"

namespace relayd {

// "2026-12-07T08:30:00.123Z".
std::string IsoTime(int64_t llUnixMs);

// The record as the contract shows it; "deliveries" only with bWithDeliveries. Bytes
// that are not UTF-8 (attachment names may hold any) become U+FFFD, so dumping the
// result never throws.
nlohmann::json RecordJson(const SMessage& oMessage, bool bWithDeliveries);

// {"id", "receivers", "cc", "subject", "channels", "created_at", "revoked", "source"}.
nlohmann::json KeyJson(const SKey& oKey);

// The same, with the fields in the order the contract lists them (nlohmann::json sorts
// them by name): for output people read, such as the --dump lines.
nlohmann::ordered_json RecordJsonOrdered(const SMessage& oMessage, bool bWithDeliveries);
nlohmann::ordered_json KeyJsonOrdered(const SKey& oKey);

}  // namespace relayd

#endif  // RELAYD_RECORD_RECORD_JSON_H
