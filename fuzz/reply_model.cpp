#include "fuzz/reply_model.h"

#include <cstdint>

#include "tests/wire_bytes.h"

namespace fuzz {

namespace {

const uint64_t kMaxFrame = 16u << 20;  // the largest reply frame the client accepts
const size_t kHeadSize = 5;            // STX and the length field
const size_t kPkgHeadSize = 43;

SReplyOutcome Failure(const std::string& sErrMsg) {
    SReplyOutcome oOutcome;
    oOutcome.sErrMsg = sErrMsg;
    return oOutcome;
}

std::string ResultText(uint32_t dwResult) {
    static const char* const kTexts[] = {
        "Unauthorized client IP. ",
        "Invalid parameter. Please make sure your input parameter is all right.",
        "Remote web-service called, but return error!",
        "Pkg tackle failed! Maybe the pkg isn't integrate.",
        "System key verify failed! Please check!"};
    const std::string sText =
        (dwResult >= 1 && dwResult <= 5) ? kTexts[dwResult - 1] : "Unknown problem!";
    return sText + " err_code:" + std::to_string(dwResult);
}

// The reply package's header checks.
SReplyOutcome CheckPackage(const std::string& sPkg) {
    if (sPkg.size() < kPkgHeadSize) {
        return Failure("pkg size(" + std::to_string(sPkg.size()) + ") error!");
    }
    const unsigned nType = static_cast<uint8_t>(sPkg[1]);
    if (nType != 1) {
        return Failure("pkg type(" + std::to_string(nType) + ") error!");
    }
    const uint32_t dwResult = wire_bytes::ReadBe32(sPkg.data() + 7);
    if (dwResult != 0) {
        return Failure(ResultText(dwResult));
    }
    SReplyOutcome oOk;
    oOk.bOk = true;
    return oOk;
}

}  // namespace

SReplyOutcome ExpectedOutcome(const std::string& sReply) {
    if (sReply.empty()) {
        return Failure("Session closed by peer: ");
    }
    // A head cut short by the close is judged on its bytes filled up with zeros.
    std::string sHead = sReply.substr(0, kHeadSize);
    sHead.resize(kHeadSize, '\0');
    if (sHead[0] != 0x02) {
        return Failure("STX error!");
    }
    const uint32_t dwFrameSize = wire_bytes::ReadBe32(sHead.data() + 1);
    if (dwFrameSize < kHeadSize || dwFrameSize > kMaxFrame) {
        return Failure("Invalid pkg size. pkg_size: " + std::to_string(dwFrameSize));
    }
    if (sReply.size() < kHeadSize) {
        // The close ended the head read: the body read finds no connection.
        return Failure("Recv pkg failed! Msg: Connect fail or no create connect.");
    }
    const size_t nBody = dwFrameSize - kHeadSize;
    const size_t nArrived = sReply.size() - kHeadSize;
    if (nBody == 0 || nArrived == 0) {
        return Failure("Session closed by peer!");
    }
    if (nArrived < nBody) {
        return Failure("Incomplete pkg. pkg_size: " + std::to_string(dwFrameSize) +
                       ", recv_size: " + std::to_string(sReply.size()));
    }
    if (sReply[kHeadSize + nBody - 1] != 0x03) {
        return Failure("ETX error!");
    }
    SReplyOutcome oOutcome = CheckPackage(sReply.substr(kHeadSize, nBody - 1));
    oOutcome.bExchanged = true;
    return oOutcome;
}

}  // namespace fuzz
