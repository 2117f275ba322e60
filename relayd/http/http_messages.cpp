// /api/v1/messages: the list (with waiting), one record, its attachments and image,
// retry and delete.
#include <algorithm>

#include "relayd/http/http_files.h"
#include "relayd/http/http_parse.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"
#include "relayd/record/clock.h"
#include "relayd/record/record_json.h"

namespace relayd {

namespace {

// The id in the path's first group; false (with the answer sent) when it is no id.
bool PathMessageId(const httplib::Request& oReq, httplib::Response& oRes, int64_t& llId) {
    switch (ParseMessageId(oReq.matches[1], llId)) {
        case ID_OK:
            return true;
        case ID_BAD:
            ReplyError(oRes, 400, "a message id is a number");
            return false;
        case ID_NO_SUCH:
            break;
    }
    ReplyError(oRes, 404, "no such message");
    return false;
}

// Loads the record the path names, with or without its bytes; false (with the answer
// sent) when it cannot.
bool LoadPathMessage(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes,
                     bool bWithData, SMessage& oMessage) {
    int64_t llId = 0;
    if (!PathMessageId(oReq, oRes, llId)) {
        return false;
    }
    bool bFound = false;
    std::string sErrMsg;
    if (!oContext.m_oStore.GetMessage(llId, bWithData, oMessage, bFound, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return false;
    }
    if (!bFound) {
        ReplyError(oRes, 404, "no such message");
        return false;
    }
    return true;
}

// Asks the store again until the page holds a record, the wait is over, or the server
// stops. Wakes on every local event (a new message, a status change) and at least every
// kRequeryMs for what another relay on the same store added.
bool WaitForMatches(SHttpContext& oContext, const SListRequest& oList, uint64_t ddwSeq,
                    SMessagePage& oPage, std::string& sErrMsg) {
    CLongHandlerSlot oSlot(oContext);
    if (!oSlot.Held()) {
        return true;  // too many waiting already: this one answers at once
    }
    const int64_t llDeadlineMs = MonotonicNowMs() + oList.m_llWaitMs;
    std::vector<CEventBus::SEvent> vecEvents;
    while (oPage.m_vecMessages.empty()) {
        const int64_t llLeftMs = llDeadlineMs - MonotonicNowMs();
        if (llLeftMs <= 0) {
            break;
        }
        if (!WaitForEvents(oContext, ddwSeq, std::min(llLeftMs, kRequeryMs), vecEvents)) {
            break;  // shutting down: answer with what there is
        }
        if (!oContext.m_oStore.ListMessages(oList.m_oQuery, oPage, sErrMsg)) {
            return false;
        }
    }
    return true;
}

void ListMessages(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    SListRequest oList;
    std::string sErrMsg;
    if (!ParseListRequest(oReq.params, oList, sErrMsg)) {
        ReplyError(oRes, 400, sErrMsg);
        return;
    }
    // Taken before the first query: an event after it means the store may have changed.
    const uint64_t ddwSeq = oContext.m_oEvents.LastSeq();
    SMessagePage oPage;
    if (!oContext.m_oStore.ListMessages(oList.m_oQuery, oPage, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    if (oPage.m_vecMessages.empty() && oList.m_llWaitMs > 0 &&
        !WaitForMatches(oContext, oList, ddwSeq, oPage, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    JSON oMessages = JSON::array();
    for (const SMessage& oMessage : oPage.m_vecMessages) {
        oMessages.push_back(RecordJsonOrdered(oMessage, false));
    }
    ReplyJson(oRes, 200, {{"total", oPage.m_ddwTotal}, {"messages", oMessages}});
}

void GetMessage(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    SMessage oMessage;
    if (LoadPathMessage(oContext, oReq, oRes, false, oMessage)) {
        ReplyJson(oRes, 200, RecordJsonOrdered(oMessage, true));
    }
}

void GetAttachment(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    uint32_t dwIndex = 0;
    const ID_PARSE eIndex = ParseAttachmentIndex(oReq.matches[2], dwIndex);
    if (eIndex == ID_BAD) {
        ReplyError(oRes, 400, "an attachment index is a number");
        return;
    }
    SMessage oMessage;
    if (!LoadPathMessage(oContext, oReq, oRes, true, oMessage)) {
        return;
    }
    const auto it = std::find_if(
        oMessage.m_vecAttachments.begin(), oMessage.m_vecAttachments.end(),
        [&](const SAttachment& oAttachment) { return oAttachment.m_dwIndex == dwIndex; });
    if (eIndex != ID_OK || it == oMessage.m_vecAttachments.end()) {
        ReplyError(oRes, 404, "no such attachment");
        return;
    }
    // Never shown in place: whatever the bytes are, the browser saves them.
    oRes.set_header("Content-Disposition", ContentDisposition("attachment", it->m_sName));
    oRes.set_content(it->m_sData, "application/octet-stream");
}

void GetImage(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    SMessage oMessage;
    if (!LoadPathMessage(oContext, oReq, oRes, true, oMessage)) {
        return;
    }
    if (oMessage.m_sImage.empty()) {
        ReplyError(oRes, 404, "the message has no image");
        return;
    }
    const char* szType = SniffImageType(oMessage.m_sImage);
    const std::string sName = "message-" + std::to_string(oMessage.m_llId) + "-image";
    oRes.set_header("Content-Disposition", ContentDisposition("inline", sName));
    oRes.set_content(oMessage.m_sImage, szType);
}

void RetryMessage(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    int64_t llId = 0;
    if (!PathMessageId(oReq, oRes, llId)) {
        return;
    }
    CHANGE_RESULT eResult = CR_DONE;
    std::string sErrMsg;
    if (!oContext.m_oStore.Retry(llId, WallNowMs(), eResult, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    if (eResult == CR_NOT_FOUND) {
        ReplyError(oRes, 404, "no such message");
        return;
    }
    if (eResult == CR_CONFLICT) {
        ReplyError(oRes, 409, "only a failed message can be retried");
        return;
    }
    oContext.m_oEvents.Publish(CEventBus::EK_STATUS, llId, MS_QUEUED);
    if (oContext.m_fnWakeDelivery) {
        oContext.m_fnWakeDelivery();
    }
    ReplyJson(oRes, 200, {{"id", llId}, {"status", StatusName(MS_QUEUED)}});
}

void DeleteMessage(SHttpContext& oContext, const httplib::Request& oReq, httplib::Response& oRes) {
    int64_t llId = 0;
    if (!PathMessageId(oReq, oRes, llId)) {
        return;
    }
    CHANGE_RESULT eResult = CR_DONE;
    std::string sErrMsg;
    if (!oContext.m_oStore.DeleteMessage(llId, eResult, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    if (eResult == CR_NOT_FOUND) {
        ReplyError(oRes, 404, "no such message");
        return;
    }
    oRes.status = 204;
}

}  // namespace

void AddMessageRoutes(httplib::Server& oServer, SHttpContext& oContext) {
    SHttpContext* pContext = &oContext;
    oServer.Get("/api/v1/messages",
                [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                    ListMessages(*pContext, oReq, oRes);
                });
    oServer.Get(R"(/api/v1/messages/([^/]+))",
                [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                    GetMessage(*pContext, oReq, oRes);
                });
    oServer.Get(R"(/api/v1/messages/([^/]+)/attachments/([^/]+))",
                [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                    GetAttachment(*pContext, oReq, oRes);
                });
    oServer.Get(R"(/api/v1/messages/([^/]+)/image)",
                [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                    GetImage(*pContext, oReq, oRes);
                });
    oServer.Post(R"(/api/v1/messages/([^/]+)/retry)",
                 [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                     RetryMessage(*pContext, oReq, oRes);
                 });
    oServer.Delete(R"(/api/v1/messages/([^/]+))",
                   [pContext](const httplib::Request& oReq, httplib::Response& oRes) {
                       DeleteMessage(*pContext, oReq, oRes);
                   });
}

}  // namespace relayd
