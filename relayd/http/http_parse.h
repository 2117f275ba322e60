// What the HTTP API takes apart before it asks the store: message ids and attachment
// indexes from the path, the list query, and the body of a key registration. Pure
// functions: no sockets, no store.
//
//   ParseMessageId("17")        -> ID_OK, 17
//   ParseMessageId("x1")        -> ID_BAD            (400)
//   ParseMessageId("99999999999999999999") -> ID_NO_SUCH (404: digits, but no id is that big)
//   ParseListRequest({channel=mail, q=hi, wait=2}) -> channel mail, text "hi", 2000 ms
//   ParseKeyRequest(R"({"receivers": "alice;bob", "channels": ["sms"]})") -> a key, no id
#ifndef RELAYD_HTTP_HTTP_PARSE_H
#define RELAYD_HTTP_HTTP_PARSE_H

#include <cstdint>
#include <map>
#include <string>

#include "relayd/record/key.h"
#include "relayd/store/store.h"

namespace relayd {

enum ID_PARSE { ID_OK, ID_BAD, ID_NO_SUCH };

// Ids are decimal digits only, 1 to INT64_MAX.
ID_PARSE ParseMessageId(const std::string& sText, int64_t& llId);
// Attachment indexes are decimal digits only, 0 to UINT32_MAX.
ID_PARSE ParseAttachmentIndex(const std::string& sText, uint32_t& dwIndex);

// The list request's limits: a page holds at most this many records, and a wait lasts
// at most this long.
const uint32_t kMaxListLimit = 500;
const int64_t kMaxWaitMs = 30 * 1000;

struct SListRequest {
    SMessageQuery m_oQuery;
    int64_t m_llWaitMs = 0;
};

// channel, status, receiver, q, limit, offset, wait; other parameters are ignored. A
// parameter given twice, an unknown channel or status, a number that is not one, or a
// limit over kMaxListLimit is refused with the reason in sErrMsg. A wait over 30 s
// waits 30 s.
bool ParseListRequest(const std::multimap<std::string, std::string>& mapParams,
                      SListRequest& oRequest, std::string& sErrMsg);

// A key id someone chose: 1 to 128 bytes of a-z A-Z 0-9 . _ -
bool IsValidKeyId(const std::string& sId);

// A key registration: a JSON object with "id" (optional), "receivers" and "cc" (a
// string of names separated by ';' or an array of names; a name is a-z A-Z 0-9 _ -),
// "subject" (a string) and "channels" (an array of channel words; empty or absent: every
// channel). Members not listed are refused. bIdGiven says whether oKey.m_sId was given.
bool ParseKeyRequest(const std::string& sBody, SKey& oKey, bool& bIdGiven, std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_PARSE_H
