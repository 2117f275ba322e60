// /api/v1/messages: the list (with waiting), one record, its attachments and image,
// retry and delete.
#include <algorithm>
#include <memory>

#include "relayd/http/http_files.h"
#include "relayd/http/http_parse.h"
#include "relayd/http/http_reply.h"
#include "relayd/http/http_routes.h"
#include "relayd/record/clock.h"
#include "relayd/record/record_json.h"

namespace relayd {

namespace {

// The id in the path's first group; false (with the answer sent) when it is no id.
bool PathMessageId(const SHttpRequest& oReq, SHttpResponse& oRes, int64_t& llId) {
    switch (ParseMessageId(oReq.m_vecMatches[1], llId)) {
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
bool LoadPathMessage(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes,
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

void ReplyPage(SHttpResponse& oRes, const SMessagePage& oPage) {
    JSON oMessages = JSON::array();
    for (const SMessage& oMessage : oPage.m_vecMessages) {
        oMessages.push_back(RecordJsonOrdered(oMessage, false));
    }
    ReplyJson(oRes, 200, {{"total", oPage.m_ddwTotal}, {"messages", oMessages}});
}

// A list waiting for its first match: it holds a long-handler slot until it answers.
struct SListWait {
    explicit SListWait(SHttpContext& oContext) : m_oSlot(oContext) {}

    CLongHandlerSlot m_oSlot;
    SListRequest m_oList;
    uint64_t m_ddwSeq = 0;
    int64_t m_llDeadlineMs = 0;
};

// One turn of a waiting list: asks the store again; true with the answer in oRes once
// the page holds a record, the wait is over, or the server stops. The server wakes it
// on every local event (a new message, a status change) and at least every kRequeryMs
// for what another relay on the same store added.
bool WaitTurn(SHttpContext& oContext, SListWait& oWait, SHttpResponse& oRes) {
    std::vector<CEventBus::SEvent> vecEvents;
    const bool bGoOn = WaitForEvents(oContext, oWait.m_ddwSeq, 0, vecEvents);
    SMessagePage oPage;
    std::string sErrMsg;
    if (!oContext.m_oStore.ListMessages(oWait.m_oList.m_oQuery, oPage, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return true;
    }
    if (oPage.m_vecMessages.empty() && bGoOn && MonotonicNowMs() < oWait.m_llDeadlineMs) {
        return false;
    }
    ReplyPage(oRes, oPage);  // shutting down: answer with what there is
    return true;
}

void ListMessages(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    auto pWait = std::make_shared<SListWait>(oContext);
    std::string sErrMsg;
    if (!ParseListRequest(oReq.m_mapParams, pWait->m_oList, sErrMsg)) {
        ReplyError(oRes, 400, sErrMsg);
        return;
    }
    // Taken before the first query: an event after it means the store may have changed.
    pWait->m_ddwSeq = oContext.m_oEvents.LastSeq();
    pWait->m_llDeadlineMs = MonotonicNowMs() + pWait->m_oList.m_llWaitMs;
    SMessagePage oPage;
    if (!oContext.m_oStore.ListMessages(pWait->m_oList.m_oQuery, oPage, sErrMsg)) {
        ReplyStoreError(oRes, sErrMsg);
        return;
    }
    // Too many waiting already: this one answers at once.
    if (oPage.m_vecMessages.empty() && pWait->m_oList.m_llWaitMs > 0 && pWait->m_oSlot.Held()) {
        SHttpContext* pContext = &oContext;
        oRes.m_fnWaitTurn = [pContext, pWait](SHttpResponse& oAnswer) {
            return WaitTurn(*pContext, *pWait, oAnswer);
        };
        return;
    }
    ReplyPage(oRes, oPage);
}

void GetMessage(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    SMessage oMessage;
    if (LoadPathMessage(oContext, oReq, oRes, false, oMessage)) {
        ReplyJson(oRes, 200, RecordJsonOrdered(oMessage, true));
    }
}

void GetAttachment(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
    uint32_t dwIndex = 0;
    const ID_PARSE eIndex = ParseAttachmentIndex(oReq.m_vecMatches[2], dwIndex);
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
    oRes.SetHeader("Content-Disposition", ContentDisposition("attachment", it->m_sName));
    oRes.SetContent(it->m_sData, "application/octet-stream");
}

void GetImage(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
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
    oRes.SetHeader("Content-Disposition", ContentDisposition("inline", sName));
    oRes.SetContent(oMessage.m_sImage, szType);
}

void RetryMessage(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
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

void DeleteMessage(SHttpContext& oContext, const SHttpRequest& oReq, SHttpResponse& oRes) {
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
    oRes.m_iStatus = 204;
}

}  // namespace

void AddMessageRoutes(CHttpRouter& oServer, SHttpContext& oContext) {
    SHttpContext* pContext = &oContext;
    oServer.Get("/api/v1/messages", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        ListMessages(*pContext, oReq, oRes);
    });
    oServer.Get("/api/v1/messages/*", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        GetMessage(*pContext, oReq, oRes);
    });
    oServer.Get("/api/v1/messages/*/attachments/*",
                [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
                    GetAttachment(*pContext, oReq, oRes);
                });
    oServer.Get("/api/v1/messages/*/image",
                [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
                    GetImage(*pContext, oReq, oRes);
                });
    oServer.Post("/api/v1/messages/*/retry",
                 [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
                     RetryMessage(*pContext, oReq, oRes);
                 });
    oServer.Delete("/api/v1/messages/*", [pContext](const SHttpRequest& oReq, SHttpResponse& oRes) {
        DeleteMessage(*pContext, oReq, oRes);
    });
}

}  // namespace relayd
