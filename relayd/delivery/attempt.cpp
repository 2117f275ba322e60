#include "relayd/delivery/attempt.h"

#include "relay_proto/utf8.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";
const char kEllipsis[] = "...";

}  // namespace

OUTCOME ClassifySmtp(bool bTransferOk, long lReplyCode) {
    if (bTransferOk) {
        return OC_DELIVERED;
    }
    return (lReplyCode >= 500 && lReplyCode <= 599) ? OC_FAILED : OC_RETRY;
}

OUTCOME ClassifyHttp(long lStatus) {
    if (lStatus >= 200 && lStatus <= 299) {
        return OC_DELIVERED;
    }
    if (lStatus == 0 || lStatus == 408 || lStatus == 429 || (lStatus >= 500 && lStatus <= 599)) {
        return OC_RETRY;
    }
    return OC_FAILED;
}

std::string SafeDetail(const std::string& sText, size_t nMaxBytes) {
    std::string sOut;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sText.data());
    const size_t n = sText.size();
    bool bCut = false;
    for (size_t i = 0; i < n;) {
        const size_t nLen = relay_proto::Utf8SequenceLength(p + i, n - i);
        std::string sPiece;
        if (nLen == 0) {
            sPiece = kReplacement;
        } else if (nLen == 1 && (p[i] < 0x20 || p[i] == 0x7F)) {
            sPiece = " ";
        } else {
            sPiece.assign(sText, i, nLen);
        }
        if (sOut.size() + sPiece.size() > nMaxBytes) {
            bCut = true;
            break;
        }
        sOut += sPiece;
        i += (nLen == 0) ? 1 : nLen;
    }
    sOut = TrimBlanks(sOut);
    if (bCut) {
        sOut += kEllipsis;
    }
    return sOut;
}

}  // namespace relayd
