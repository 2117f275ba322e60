// The message record and the key as JSON: the --dump lines and the HTTP API's shapes.
#ifndef RELAYD_RECORD_RECORD_JSON_H
#define RELAYD_RECORD_RECORD_JSON_H

#include <nlohmann/json.hpp>

#include "relayd/record/key.h"
#include "relayd/record/message.h"

namespace relayd {

// "2026-12-07T08:30:00.123Z".
std::string IsoTime(int64_t llUnixMs);

// The record as the manual page shows it, its fields in that order;
// "deliveries" only with bWithDeliveries. Text fields hold the stored bytes as they
// are: dump with nlohmann::json::error_handler_t::replace, which writes bytes that are
// not UTF-8 (attachment names may hold any) as U+FFFD.
nlohmann::ordered_json RecordJsonOrdered(const SMessage& oMessage, bool bWithDeliveries);

// {"id", "receivers", "cc", "subject", "channels", "created_at", "revoked", "source"},
// in that order; dumped as the record is.
nlohmann::ordered_json KeyJsonOrdered(const SKey& oKey);

}  // namespace relayd

#endif  // RELAYD_RECORD_RECORD_JSON_H
