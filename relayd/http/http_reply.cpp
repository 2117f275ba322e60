#include "relayd/http/http_reply.h"

namespace relayd {

std::string DumpJson(const JSON& oValue) {
    return oValue.dump(-1, ' ', false, JSON::error_handler_t::replace);
}

void ReplyJson(SHttpResponse& oRes, int iStatus, const JSON& oBody) {
    oRes.m_iStatus = iStatus;
    oRes.SetContent(DumpJson(oBody), "application/json; charset=utf-8");
}

void ReplyError(SHttpResponse& oRes, int iStatus, const std::string& sText) {
    ReplyJson(oRes, iStatus, {{"error", sText}});
}

void ReplyStoreError(SHttpResponse& oRes, const std::string& sErrMsg) {
    ReplyError(oRes, 500, "store: " + sErrMsg);
}

}  // namespace relayd
