// How the HTTP side answers: JSON bodies and {"error": "..."} with the status that fits.
#ifndef RELAYD_HTTP_HTTP_REPLY_H
#define RELAYD_HTTP_HTTP_REPLY_H

#include "relayd/http/http_lib.h"

#include <nlohmann/json.hpp>
#include <string>

namespace relayd {

// Answers are built as ordered JSON: fields in the order the manual page lists them.
typedef nlohmann::ordered_json JSON;

// JSON text; bytes that are not UTF-8 (a sender name, an attachment name) become U+FFFD
// instead of failing the whole answer.
std::string DumpJson(const JSON& oValue);

void ReplyJson(SHttpResponse& oRes, int iStatus, const JSON& oBody);
// {"error": sText}.
void ReplyError(SHttpResponse& oRes, int iStatus, const std::string& sText);
// The store failed: 500 with its reason.
void ReplyStoreError(SHttpResponse& oRes, const std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_REPLY_H
