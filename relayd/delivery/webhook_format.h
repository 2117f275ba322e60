// What a webhook POST carries: the JSON body and its signature. Pure functions.
#ifndef RELAYD_DELIVERY_WEBHOOK_FORMAT_H
#define RELAYD_DELIVERY_WEBHOOK_FORMAT_H

#include <string>

#include "relayd/record/message.h"

namespace relayd {

// {"id", "channel", "key_id", "sender", "receivers", "title", "content", "received_at"}
// and, for lumo only, "image_base64" (the image bytes, "" when there is none). Bytes
// that are not valid UTF-8 (intake refuses them in title and content; sender and key id
// are not checked there) become U+FFFD rather than failing the delivery.
std::string WebhookBody(const SMessage& oMessage);

// "sha256=<lower-case hex HMAC-SHA256 of sBody keyed with sSecret>".
std::string SignatureValue(const std::string& sSecret, const std::string& sBody);

}  // namespace relayd

#endif  // RELAYD_DELIVERY_WEBHOOK_FORMAT_H
