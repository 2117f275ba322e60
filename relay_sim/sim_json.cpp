#include "relay_sim/sim_json.h"

namespace relay_sim {

namespace {

// Length of the UTF-8 sequence at p (n bytes available), or 0 when it is malformed.
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        return 1;
    }
    size_t nLen = 0;
    unsigned char cMin = 0x80;  // bounds of the second byte, narrowed to forbid
    unsigned char cMax = 0xBF;  // overlong forms, surrogates and values past U+10FFFF
    if (c >= 0xC2 && c <= 0xDF) {
        nLen = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        cMin = (c == 0xE0) ? 0xA0 : 0x80;
        cMax = (c == 0xED) ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        cMin = (c == 0xF0) ? 0x90 : 0x80;
        cMax = (c == 0xF4) ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (n < nLen || p[1] < cMin || p[1] > cMax) {
        return 0;
    }
    for (size_t i = 2; i < nLen; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return nLen;
}

std::string Hex(const std::string& sBytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string sHex;
    sHex.reserve(sBytes.size() * 2);
    for (const char c : sBytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        sHex += kDigits[b >> 4];
        sHex += kDigits[b & 0x0F];
    }
    return sHex;
}

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

bool IsValidUtf8(const std::string& sText) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sText.data());
    size_t nLeft = sText.size();
    while (nLeft > 0) {
        const size_t nLen = Utf8SequenceLength(p, nLeft);
        if (nLen == 0) {
            return false;
        }
        p += nLen;
        nLeft -= nLen;
    }
    return true;
}

void AddText(JSON_OBJ& oJson, const char* szName, const std::string& sText) {
    oJson[szName] = sText;
    if (!IsValidUtf8(sText)) {
        oJson[std::string(szName) + "_hex"] = Hex(sText);
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
