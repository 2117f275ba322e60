#include "relayd/http/http_reply.h"

namespace relayd {

std::string DumpJson(const JSON& oValue) {
    return oValue.dump(-1, ' ', false, JSON::error_handler_t::replace);
}

void ReplyJson(httplib::Response& oRes, int iStatus, const JSON& oBody) {
    oRes.status = iStatus;
    oRes.set_content(DumpJson(oBody), "application/json; charset=utf-8");
}

void ReplyError(httplib::Response& oRes, int iStatus, const std::string& sText) {
    ReplyJson(oRes, iStatus, {{"error", sText}});
}

void ReplyStoreError(httplib::Response& oRes, const std::string& sErrMsg) {
    ReplyError(oRes, 500, "store: " + sErrMsg);
}

}  // namespace relayd
