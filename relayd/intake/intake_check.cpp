#include "relayd/intake/intake_check.h"

#include <vector>

#include "relay_proto/utf8.h"
#include "relayd/record/sha256.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

// The request's receivers, cc and title once the key has filled the empty ones.
struct SFilledFields {
    std::string m_sReceivers;
    std::string m_sCc;
    std::string m_sTitle;
};

bool HasTitle(relay_proto::CHANNEL eChannel) {
    return eChannel != relay_proto::CH_LUMO;
}

// The key check. False when the store failed; otherwise eResult is RES_OK (with bHaveKey
// telling whether oKey holds the request's key) or RES_KEY_REJECTED with sWhy.
bool CheckKey(const relay_proto::SRequest& oReq, const CKeyRing& oKeys, bool bRequireKey,
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
    const std::string sKey = "key '" + QuoteForLog(oReq.m_sKeyId) + "'";
    if (!bFound) {
        sWhy = sKey + " is unknown";
    } else if (oKey.m_bRevoked) {
        sWhy = sKey + " is revoked";
    } else if (!KeyAllows(oKey, oReq.m_eChannel)) {
        sWhy = sKey + " is not allowed on " + relay_proto::ChannelName(oReq.m_eChannel);
    } else {
        bHaveKey = true;
        return true;
    }
    eResult = RES_KEY_REJECTED;
    return true;
}

SFilledFields FillFromKey(const relay_proto::SRequest& oReq, const SKey* pKey) {
    SFilledFields oFilled{oReq.m_sReceivers, oReq.m_sCc, oReq.m_sTitle};
    if (pKey == nullptr) {
        return oFilled;
    }
    if (oFilled.m_sReceivers.empty()) {
        oFilled.m_sReceivers = JoinNameList(pKey->m_vecReceivers);
    }
    if (oReq.m_eChannel == relay_proto::CH_MAIL && oFilled.m_sCc.empty()) {
        oFilled.m_sCc = JoinNameList(pKey->m_vecCc);
    }
    if (HasTitle(oReq.m_eChannel) && oFilled.m_sTitle.empty()) {
        oFilled.m_sTitle = pKey->m_sSubject;
    }
    return oFilled;
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
std::string NameCountProblem(const SFilledFields& oFilled) {
    const std::vector<std::string> vecReceivers = SplitNameList(oFilled.m_sReceivers);
    const std::vector<std::string> vecCc = SplitNameList(oFilled.m_sCc);
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
std::string FieldProblem(const relay_proto::SRequest& oReq, const SFilledFields& oFilled) {
    const relay_proto::CHANNEL eChannel = oReq.m_eChannel;
    if (SplitNameList(oFilled.m_sReceivers).empty()) {
        return "no receiver";
    }
    if (!IsNameListValid(oFilled.m_sReceivers)) {
        return "receivers '" + QuoteForLog(oFilled.m_sReceivers) + "' hold a byte not allowed";
    }
    if (!IsNameListValid(oFilled.m_sCc)) {
        return "cc '" + QuoteForLog(oFilled.m_sCc) + "' holds a byte not allowed";
    }
    std::string sCountProblem = NameCountProblem(oFilled);
    if (!sCountProblem.empty()) {
        return sCountProblem;
    }
    if (HasTitle(eChannel) && !relay_proto::IsValidUtf8(oFilled.m_sTitle)) {
        return "title is not valid UTF-8";
    }
    if (!relay_proto::IsValidUtf8(oReq.m_sContent)) {
        return "content is not valid UTF-8";
    }
    if ((eChannel == relay_proto::CH_SMS || eChannel == relay_proto::CH_ZEPH) &&
        oReq.m_sContent.empty()) {
        return "empty content";
    }
    if (eChannel == relay_proto::CH_ZEPH && oFilled.m_sTitle.empty()) {
        return "empty title";
    }
    if (eChannel == relay_proto::CH_LUMO && oReq.m_sContent.empty() && oReq.m_sImage.empty()) {
        return "neither content nor image";
    }
    return eChannel == relay_proto::CH_MAIL ? AttachmentProblem(oReq) : "";
}

void FillMessage(const relay_proto::SRequest& oReq, const SFilledFields& oFilled,
                 SMessage& oMessage) {
    oMessage.m_eChannel = oReq.m_eChannel;
    oMessage.m_dwTimestamp = oReq.m_dwTimestamp;
    oMessage.m_sKeyId = oReq.m_sKeyId;
    oMessage.m_sSender = oReq.m_sSender;
    oMessage.m_vecReceivers = SplitNameList(oFilled.m_sReceivers);
    oMessage.m_vecCc = SplitNameList(oFilled.m_sCc);
    oMessage.m_sTitle = oFilled.m_sTitle;
    oMessage.m_sContent = oReq.m_sContent;
    oMessage.m_vecAttachments.clear();
    for (size_t i = 0; i < oReq.m_vecAttachments.size(); ++i) {
        SAttachment oAttach;
        oAttach.m_dwIndex = static_cast<uint32_t>(i);
        oAttach.m_sName = oReq.m_vecAttachments[i].m_sName;
        oAttach.m_ddwSize = oReq.m_vecAttachments[i].m_sData.size();
        oAttach.m_sSha256Hex = Sha256Hex(oReq.m_vecAttachments[i].m_sData);
        oAttach.m_sData = oReq.m_vecAttachments[i].m_sData;
        oMessage.m_vecAttachments.push_back(std::move(oAttach));
    }
    oMessage.m_sImage = oReq.m_sImage;
    oMessage.m_ddwImageSize = oReq.m_sImage.size();
}

}  // namespace

bool CheckRequest(const relay_proto::SRequest& oReq, const CKeyRing& oKeys, bool bRequireKey,
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
    const SFilledFields oFilled = FillFromKey(oReq, bHaveKey ? &oKey : nullptr);
    sWhy = FieldProblem(oReq, oFilled);
    if (!sWhy.empty()) {
        eResult = RES_INVALID_PARAM;
        return true;
    }
    FillMessage(oReq, oFilled, oMessage);
    return true;
}

}  // namespace relayd
