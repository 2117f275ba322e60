#include "relay_sim/sim_json.h"

#include "relay_proto/hex.h"
#include "relay_proto/utf8.h"

namespace relay_sim {

namespace {

void AddAttachments(const relay_proto::SRequest& oReq, JSON_OBJ& oJson) {
    JSON_OBJ oList = JSON_OBJ::array();
    for (const relay_proto::SRequest::SAttachment& oAttach : oReq.m_vecAttachments) {
        JSON_OBJ oItem = JSON_OBJ::object();
        AddText(oItem, "name", oAttach.m_sName);
        oItem["size"] = oAttach.m_sData.size();
        oList.push_back(std::move(oItem));
    }
    oJson["attachments"] = std::move(oList);
}

}  // namespace

void AddText(JSON_OBJ& oJson, const char* szName, const std::string& sText) {
    oJson[szName] = sText;
    if (!relay_proto::IsValidUtf8(sText)) {
        oJson[std::string(szName) + "_hex"] = relay_proto::HexEncode(sText);
    }
}

void AddRequestFields(const relay_proto::SRequest& oReq, JSON_OBJ& oJson) {
    oJson["cmd"] = oReq.m_cCmd;
    oJson["pkg_type"] = oReq.m_cPkgType;
    oJson["client_version"] = oReq.m_cClientVersion;
    oJson["timestamp"] = oReq.m_dwTimestamp;
    oJson["result"] = oReq.m_dwResult;
    AddText(oJson, "key_id", oReq.m_sKeyId);
    AddText(oJson, "sender", oReq.m_sSender);
    AddText(oJson, "receivers", oReq.m_sReceivers);
    if (oReq.m_eChannel == relay_proto::CH_MAIL) {
        AddText(oJson, "cc", oReq.m_sCc);
    }
    if (oReq.m_eChannel != relay_proto::CH_LUMO) {
        AddText(oJson, "title", oReq.m_sTitle);
    }
    AddText(oJson, "content", oReq.m_sContent);
    if (oReq.m_eChannel == relay_proto::CH_LUMO) {
        oJson["image_size"] = oReq.m_sImage.size();
    }
    if (oReq.m_eChannel == relay_proto::CH_MAIL) {
        AddAttachments(oReq, oJson);
    }
}

std::string JsonLine(const JSON_OBJ& oJson) {
    return oJson.dump(-1, ' ', false, JSON_OBJ::error_handler_t::replace) + "\n";
}

}  // namespace relay_sim
