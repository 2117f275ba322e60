// The checks a decoded request passes before it is stored: its key, then its fields.
// Run in this order, the first failure decides the result code the client gets:
//
//   5  a key id that is unknown, revoked or not allowed on the channel; or no key id
//      while keys are required
//   2  after the key's receivers, cc and subject have filled the request's empty
//      fields: no receiver; a receiver or cc byte outside a-z A-Z 0-9 ; _ -; a title or
//      content that is not UTF-8; an empty sms or zeph content; an empty zeph title; a
//      lumo with neither content nor image; a mail with more than 20 attachments, more
//      than 4194303 attachment bytes, or an attachment name that is empty or holds '/'
//      or a NUL byte; more than 1000 receivers and cc together, or a receiver, cc or
//      attachment name longer than 255 bytes
//   0  accepted: the message record is filled
#ifndef RELAYD_INTAKE_INTAKE_CHECK_H
#define RELAYD_INTAKE_INTAKE_CHECK_H

#include <cstdint>
#include <string>

#include "relay_proto/package.h"
#include "relay_proto/request.h"
#include "relayd/record/message.h"
#include "relayd/store/key_lookup.h"

namespace relayd {

const uint32_t kMaxAttachments = 20;
const uint64_t kMaxAttachmentBytes = 4194303;

// Checks oReq and takes it over: on RES_OK its fields have moved into oMessage. True with the
// verdict in eResult: RES_OK with oMessage filled (channel, timestamp, key id, sender, receivers,
// cc, title, content, attachments with their digests, image), or RES_KEY_REJECTED /
// RES_INVALID_PARAM with a short reason for the log in sWhy. False when the key could not be looked
// up (the store failed): no verdict, the reason in sErrMsg. Fields of oMessage that intake owns
// (id, peer, times, status, package hash) are left as they were.
bool CheckRequest(relay_proto::SRequest&& oReq, const IKeyLookup& oKeys, bool bRequireKey,
                  SMessage& oMessage, PKG_RESULT& eResult, std::string& sWhy, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_INTAKE_INTAKE_CHECK_H
