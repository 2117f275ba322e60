#include "relayd/intake/intake_check.h"

#include <utility>
#include <vector>

#include "relay_proto/utf8.h"
#include "relayd/record/sha256.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

// The request's receivers and cc as lists, split once for the checks and the record.
struct SNames {
    std::vector<std::string> m_vecReceivers;
    std::vector<std::string> m_vecCc;
};

bool HasTitle(relay_proto::CHANNEL eChannel) {
    return eChannel != relay_proto::CH_LUMO;
}

// The key check. False when the store failed; otherwise eResult is RES_OK (with bHaveKey
// telling whether oKey holds the request's key) or RES_KEY_REJECTED with sWhy.
bool CheckKey(const relay_proto::SRequest& oReq, const IKeyLookup& oKeys, bool bRequireKey,
              SKey& oKey, bool& bHaveKey, PKG_RESULT& eResult, std::string& sWhy,
              std::string& sErrMsg) {
    bHaveKey = false;
    eResult = RES_OK;
    if (oReq.m_sKeyId.empty()) {
        if (bRequireKey) {
            eResult = RES_KEY_REJECTED;
            sWhy = "no key id, and a key is required";
        }
        return true;
    }
    bool bFound = false;
    if (!oKeys.Find(oReq.m_sKeyId, oKey, bFound, sErrMsg)) {
        return false;
    }
    if (bFound && !oKey.m_bRevoked && KeyAllows(oKey, oReq.m_eChannel)) {
        bHaveKey = true;
        return true;
    }
    const std::string sKey = "key '" + QuoteForLog(oReq.m_sKeyId) + "'";
    if (!bFound) {
        sWhy = sKey + " is unknown";
    } else if (oKey.m_bRevoked) {
        sWhy = sKey + " is revoked";
    } else {
        sWhy = sKey + " is not allowed on " + relay_proto::ChannelName(oReq.m_eChannel);
    }
    eResult = RES_KEY_REJECTED;
    return true;
}

// Fills the request's empty receivers, cc and title from its key.
void FillFromKey(const SKey& oKey, relay_proto::SRequest& oReq) {
    if (oReq.m_sReceivers.empty()) {
        oReq.m_sReceivers = JoinNameList(oKey.m_vecReceivers);
    }
    if (oReq.m_eChannel == relay_proto::CH_MAIL && oReq.m_sCc.empty()) {
        oReq.m_sCc = JoinNameList(oKey.m_vecCc);
    }
    if (HasTitle(oReq.m_eChannel) && oReq.m_sTitle.empty()) {
        oReq.m_sTitle = oKey.m_sSubject;
    }
}

// Why the mail's attachments are refused, or "" when they pass.
std::string AttachmentProblem(const relay_proto::SRequest& oReq) {
    if (oReq.m_vecAttachments.size() > kMaxAttachments) {
        return std::to_string(oReq.m_vecAttachments.size()) + " attachments, more than " +
               std::to_string(kMaxAttachments);
    }
    uint64_t ddwTotal = 0;
    for (size_t i = 0; i < oReq.m_vecAttachments.size(); ++i) {
        const std::string& sName = oReq.m_vecAttachments[i].m_sName;
        if (sName.empty() || sName.find('/') != std::string::npos ||
            sName.find('\0') != std::string::npos) {
            return "attachment " + std::to_string(i + 1) + " has the name '" + QuoteForLog(sName) +
                   "' (empty, or holding '/' or NUL)";
        }
        if (sName.size() > kMaxNameBytes) {
            return "attachment " + std::to_string(i + 1) + " has a name of " +
                   std::to_string(sName.size()) + " bytes, more than " +
                   std::to_string(kMaxNameBytes);
        }
        ddwTotal += oReq.m_vecAttachments[i].m_sData.size();
    }
    if (ddwTotal > kMaxAttachmentBytes) {
        return std::to_string(ddwTotal) + " attachment bytes, more than " +
               std::to_string(kMaxAttachmentBytes);
    }
    return "";
}

// Why the receivers and cc are too many or too long, or "" when they pass.
std::string NameCountProblem(const SNames& oNames) {
    const std::vector<std::string>& vecReceivers = oNames.m_vecReceivers;
    const std::vector<std::string>& vecCc = oNames.m_vecCc;
    if (vecReceivers.size() + vecCc.size() > kMaxNames) {
        return std::to_string(vecReceivers.size() + vecCc.size()) +
               " receivers and cc, more than " + std::to_string(kMaxNames);
    }
    for (const auto* pList : {&vecReceivers, &vecCc}) {
        for (const std::string& sName : *pList) {
            if (sName.size() > kMaxNameBytes) {
                return std::string(pList == &vecCc ? "cc" : "receiver") + " '" +
                       QuoteForLog(sName) + "' is " + std::to_string(sName.size()) +
                       " bytes long, more than " + std::to_string(kMaxNameBytes);
            }
        }
    }
    return "";
}

// Why the request's fields are refused, or "" when they pass.
std::string FieldProblem(const relay_proto::SRequest& oReq, const SNames& oNames) {
    const relay_proto::CHANNEL eChannel = oReq.m_eChannel;
    if (oNames.m_vecReceivers.empty()) {
        return "no receiver";
    }
    if (!IsNameListValid(oReq.m_sReceivers)) {
        return "receivers '" + QuoteForLog(oReq.m_sReceivers) + "' hold a byte not allowed";
    }
    if (!IsNameListValid(oReq.m_sCc)) {
        return "cc '" + QuoteForLog(oReq.m_sCc) + "' holds a byte not allowed";
    }
    std::string sCountProblem = NameCountProblem(oNames);
    if (!sCountProblem.empty()) {
        return sCountProblem;
    }
    if (HasTitle(eChannel) && !relay_proto::IsValidUtf8(oReq.m_sTitle)) {
        return "title is not valid UTF-8";
    }
    if (!relay_proto::IsValidUtf8(oReq.m_sContent)) {
        return "content is not valid UTF-8";
    }
    if ((eChannel == relay_proto::CH_SMS || eChannel == relay_proto::CH_ZEPH) &&
        oReq.m_sContent.empty()) {
        return "empty content";
    }
    if (eChannel == relay_proto::CH_ZEPH && oReq.m_sTitle.empty()) {
        return "empty title";
    }
    if (eChannel == relay_proto::CH_LUMO && oReq.m_sContent.empty() && oReq.m_sImage.empty()) {
        return "neither content nor image";
    }
    return eChannel == relay_proto::CH_MAIL ? AttachmentProblem(oReq) : "";
}

// Moves the checked request into the record: its bytes are not copied again.
void FillMessage(relay_proto::SRequest& oReq, SNames& oNames, SMessage& oMessage) {
    oMessage.m_eChannel = oReq.m_eChannel;
    oMessage.m_dwTimestamp = oReq.m_dwTimestamp;
    oMessage.m_sKeyId = std::move(oReq.m_sKeyId);
    oMessage.m_sSender = std::move(oReq.m_sSender);
    oMessage.m_vecReceivers = std::move(oNames.m_vecReceivers);
    oMessage.m_vecCc = std::move(oNames.m_vecCc);
    oMessage.m_sTitle = std::move(oReq.m_sTitle);
    oMessage.m_sContent = std::move(oReq.m_sContent);
    oMessage.m_vecAttachments.clear();
    oMessage.m_vecAttachments.reserve(oReq.m_vecAttachments.size());
    for (size_t i = 0; i < oReq.m_vecAttachments.size(); ++i) {
        relay_proto::SRequest::SAttachment& oFrom = oReq.m_vecAttachments[i];
        SAttachment oAttach;
        oAttach.m_dwIndex = static_cast<uint32_t>(i);
        oAttach.m_sName = std::move(oFrom.m_sName);
        oAttach.m_ddwSize = oFrom.m_sData.size();
        oAttach.m_sSha256Hex = Sha256Hex(oFrom.m_sData);
        oAttach.m_sData = std::move(oFrom.m_sData);
        oMessage.m_vecAttachments.push_back(std::move(oAttach));
    }
    oMessage.m_ddwImageSize = oReq.m_sImage.size();
    oMessage.m_sImage = std::move(oReq.m_sImage);
}

}  // namespace

bool CheckRequest(relay_proto::SRequest&& oReq, const IKeyLookup& oKeys, bool bRequireKey,
                  SMessage& oMessage, PKG_RESULT& eResult, std::string& sWhy,
                  std::string& sErrMsg) {
    SKey oKey;
    bool bHaveKey = false;
    if (!CheckKey(oReq, oKeys, bRequireKey, oKey, bHaveKey, eResult, sWhy, sErrMsg)) {
        return false;
    }
    if (eResult != RES_OK) {
        return true;
    }
    if (bHaveKey) {
        FillFromKey(oKey, oReq);
    }
    SNames oNames{SplitNameList(oReq.m_sReceivers), SplitNameList(oReq.m_sCc)};
    sWhy = FieldProblem(oReq, oNames);
    if (!sWhy.empty()) {
        eResult = RES_INVALID_PARAM;
        return true;
    }
    FillMessage(oReq, oNames, oMessage);
    return true;
}

}  // namespace relayd
