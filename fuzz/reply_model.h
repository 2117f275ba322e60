// What a channel request must conclude from the bytes a server sends before closing the
// connection: the result and, for a failure, the exact text in sErrMsg.
#ifndef FUZZ_REPLY_MODEL_H
#define FUZZ_REPLY_MODEL_H

#include <string>

namespace fuzz {

struct SReplyOutcome {
    bool bOk = false;
    bool bExchanged = false;  // a whole reply frame arrived: the next server is not tried
    std::string sErrMsg;      // empty after success
};

// sReply is everything the server writes after reading the request; then it closes.
SReplyOutcome ExpectedOutcome(const std::string& sReply);

}  // namespace fuzz

#endif  // FUZZ_REPLY_MODEL_H
