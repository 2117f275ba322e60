// The relay's intake checks over any package: decoded as a request of the channel the input
// names, then checked against a small key ring, with or without keys required.
//
// Input: a control byte, then the package. Control bits 0-1 choose the channel, bit 2 makes a
// key required.
//
// Properties: the check never fails with a key ring that has no store; its verdict is 0, 2 or
// 5, and it is 5 exactly when the key step refuses (a model of the fixed key ring says when);
// a refusal has a reason; an accepted message holds at least one receiver, only non-empty
// names of the allowed bytes, a title and content that the JSON writer takes as UTF-8, the
// channel's required fields, and attachments within the limits, each with its size and
// digest; and its receivers are the request's own (empty pieces dropped) or, when the request
// gave none, the key's.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "relay_proto/request.h"
#include "relayd/intake/intake_check.h"
#include "relayd/record/text_rules.h"
#include "relayd/store/keyring.h"

namespace {

relayd::SKey Key(const std::string& sId, const std::string& sReceivers, const std::string& sCc,
                 const std::string& sSubject, std::vector<relay_proto::CHANNEL> vecChannels,
                 bool bRevoked) {
    relayd::SKey oKey;
    oKey.m_sId = sId;
    oKey.m_vecReceivers = relayd::SplitNameList(sReceivers);
    oKey.m_vecCc = relayd::SplitNameList(sCc);
    oKey.m_sSubject = sSubject;
    oKey.m_vecChannels = vecChannels;
    oKey.m_bRevoked = bRevoked;
    oKey.m_eSource = relayd::KS_CONFIG;
    return oKey;
}

// "k" fills everything on every channel, "e" fills nothing, "m" is for mail only, "r" is
// revoked.
const relayd::CKeyRing& Keys() {
    static const relayd::CKeyRing oRing(
        {Key("k", "kal;kbo", "kca", "Key subject", {}, false), Key("e", "", "", "", {}, false),
         Key("m", "mal", "", "", {relay_proto::CH_MAIL}, false), Key("r", "ral", "", "", {}, true)},
        nullptr);
    return oRing;
}

// Whether the key step lets the request through, from the key ring above.
bool KeyStepPasses(const relay_proto::SRequest& oReq, bool bRequireKey) {
    const std::string& sId = oReq.m_sKeyId;
    if (sId.empty()) {
        return !bRequireKey;
    }
    return sId == "k" || sId == "e" || (sId == "m" && oReq.m_eChannel == relay_proto::CH_MAIL);
}

bool JsonTakesAsUtf8(const std::string& sText) {
    typedef nlohmann::json::error_handler_t HANDLER;
    const nlohmann::json oJson(sText);
    return oJson.dump(-1, ' ', false, HANDLER::ignore) ==
           oJson.dump(-1, ' ', false, HANDLER::replace);
}

void CheckNames(const std::vector<std::string>& vecNames) {
    for (const std::string& sName : vecNames) {
        FUZZ_CHECK(!sName.empty());
        FUZZ_CHECK(sName.size() <= relayd::kMaxNameBytes);
        for (const char c : sName) {
            FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-');
        }
    }
}

void CheckAttachments(const relay_proto::SRequest& oReq, const relayd::SMessage& oMessage) {
    FUZZ_CHECK(oMessage.m_vecAttachments.size() == oReq.m_vecAttachments.size());
    FUZZ_CHECK(oMessage.m_vecAttachments.size() <= 20);
    uint64_t ddwTotal = 0;
    for (size_t i = 0; i < oMessage.m_vecAttachments.size(); ++i) {
        const relayd::SAttachment& oAttach = oMessage.m_vecAttachments[i];
        FUZZ_CHECK(oAttach.m_dwIndex == i);
        FUZZ_CHECK(!oAttach.m_sName.empty());
        FUZZ_CHECK(oAttach.m_sName.size() <= relayd::kMaxNameBytes);
        FUZZ_CHECK(oAttach.m_sName.find('/') == std::string::npos);
        FUZZ_CHECK(oAttach.m_sName.find('\0') == std::string::npos);
        FUZZ_CHECK(oAttach.m_sData == oReq.m_vecAttachments[i].m_sData);
        FUZZ_CHECK(oAttach.m_ddwSize == oAttach.m_sData.size());
        FUZZ_CHECK(oAttach.m_sSha256Hex.size() == 64);
        FUZZ_CHECK(oAttach.m_sSha256Hex.find_first_not_of("0123456789abcdef") == std::string::npos);
        ddwTotal += oAttach.m_ddwSize;
    }
    FUZZ_CHECK(ddwTotal <= 4194303);
}

void CheckAccepted(const relay_proto::SRequest& oReq, const relayd::SMessage& oMessage) {
    const relay_proto::CHANNEL eChannel = oReq.m_eChannel;
    FUZZ_CHECK(oMessage.m_eChannel == eChannel);
    FUZZ_CHECK(oMessage.m_dwTimestamp == oReq.m_dwTimestamp);
    FUZZ_CHECK(oMessage.m_sKeyId == oReq.m_sKeyId);
    FUZZ_CHECK(oMessage.m_sSender == oReq.m_sSender);
    FUZZ_CHECK(!oMessage.m_vecReceivers.empty());
    CheckNames(oMessage.m_vecReceivers);
    CheckNames(oMessage.m_vecCc);
    FUZZ_CHECK(oMessage.m_vecReceivers.size() + oMessage.m_vecCc.size() <= relayd::kMaxNames);
    if (!oReq.m_sReceivers.empty()) {
        FUZZ_CHECK(oMessage.m_vecReceivers == relayd::SplitNameList(oReq.m_sReceivers));
    } else {
        FUZZ_CHECK(oReq.m_sKeyId == "k" || oReq.m_sKeyId == "m");
    }
    FUZZ_CHECK(JsonTakesAsUtf8(oMessage.m_sTitle));
    FUZZ_CHECK(JsonTakesAsUtf8(oMessage.m_sContent));
    FUZZ_CHECK(oMessage.m_sContent == oReq.m_sContent);
    if (eChannel == relay_proto::CH_SMS || eChannel == relay_proto::CH_ZEPH) {
        FUZZ_CHECK(!oMessage.m_sContent.empty());
    }
    if (eChannel == relay_proto::CH_ZEPH) {
        FUZZ_CHECK(!oMessage.m_sTitle.empty());
    }
    if (eChannel == relay_proto::CH_LUMO) {
        FUZZ_CHECK(!oMessage.m_sContent.empty() || !oMessage.m_sImage.empty());
        FUZZ_CHECK(oMessage.m_sTitle.empty());
    }
    if (eChannel != relay_proto::CH_MAIL) {
        FUZZ_CHECK(oMessage.m_vecCc.empty());
    }
    FUZZ_CHECK(oMessage.m_sImage == oReq.m_sImage);
    FUZZ_CHECK(oMessage.m_ddwImageSize == oMessage.m_sImage.size());
    CheckAttachments(oReq, oMessage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cControl = oInput.TakeByte();
    const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(cControl & 3);
    const bool bRequireKey = (cControl & 4) != 0;

    relay_proto::SRequest oReq;
    std::string sErrMsg;
    if (!relay_proto::DecodeRequest(eChannel, oInput.TakeRest(), oReq, sErrMsg)) {
        return 0;
    }
    relayd::SMessage oMessage;
    PKG_RESULT eResult = RES_OK;
    std::string sWhy;
    FUZZ_CHECK(relayd::CheckRequest(oReq, Keys(), bRequireKey, oMessage, eResult, sWhy, sErrMsg));
    FUZZ_CHECK(eResult == RES_OK || eResult == RES_INVALID_PARAM || eResult == RES_KEY_REJECTED);
    FUZZ_CHECK((eResult == RES_KEY_REJECTED) == !KeyStepPasses(oReq, bRequireKey));
    FUZZ_CHECK((eResult == RES_OK) == sWhy.empty());
    if (eResult == RES_OK) {
        CheckAccepted(oReq, oMessage);
    }
    return 0;
}
