#include "relay_proto/request.h"

#include <cstring>

#include "dev_tools/utils.h"
#include "relay_proto/package.h"

namespace relay_proto {

namespace {

// Reads the body's fields in order, never past the end of the package.
class CFieldReader {
public:
    CFieldReader(const std::string& sPkg, size_t nPos) : m_sPkg(sPkg), m_nPos(nPos) {}

    bool ReadNumber(const char* szField, uint32_t& dwValue, std::string& sErrMsg) {
        if (Left() < sizeof(uint32_t)) {
            sErrMsg = std::string(szField) + ": needs 4 bytes, " + to_str(Left()) + " left";
            return false;
        }
        uint32_t dwNet = 0;
        memcpy(&dwNet, m_sPkg.data() + m_nPos, sizeof(dwNet));
        dwValue = ntohl(dwNet);
        m_nPos += sizeof(dwNet);
        return true;
    }

    bool ReadString(const char* szField, std::string& sValue, std::string& sErrMsg) {
        uint32_t dwLen = 0;
        if (Left() < sizeof(dwLen)) {
            sErrMsg = std::string(szField) + ": no room for its 4-byte length (" + to_str(Left()) +
                      " bytes left)";
            return false;
        }
        ReadNumber(szField, dwLen, sErrMsg);
        if (dwLen > Left()) {
            sErrMsg = std::string(szField) + ": length " + to_str(dwLen) +
                      " overruns the package (" + to_str(Left()) + " bytes left)";
            return false;
        }
        sValue.assign(m_sPkg, m_nPos, dwLen);
        m_nPos += dwLen;
        return true;
    }

    size_t Left() const { return m_sPkg.size() - m_nPos; }

private:
    const std::string& m_sPkg;
    size_t m_nPos;
};

struct SStringField {
    const char* m_szName;
    std::string SRequest::*m_pField;
};

const SStringField kInstantFields[] = {{"key_id", &SRequest::m_sKeyId},
                                       {"sender", &SRequest::m_sSender},
                                       {"receivers", &SRequest::m_sReceivers},
                                       {"title", &SRequest::m_sTitle},
                                       {"content", &SRequest::m_sContent}};
const SStringField kLumoFields[] = {{"key_id", &SRequest::m_sKeyId},
                                    {"sender", &SRequest::m_sSender},
                                    {"receivers", &SRequest::m_sReceivers},
                                    {"content", &SRequest::m_sContent},
                                    {"image", &SRequest::m_sImage}};
const SStringField kMailFields[] = {
    {"key_id", &SRequest::m_sKeyId},        {"sender", &SRequest::m_sSender},
    {"receivers", &SRequest::m_sReceivers}, {"cc", &SRequest::m_sCc},
    {"title", &SRequest::m_sTitle},         {"content", &SRequest::m_sContent}};

template <size_t N>
bool ReadStringFields(CFieldReader& oReader, const SStringField (&aFields)[N], SRequest& oReq,
                      std::string& sErrMsg) {
    for (const SStringField& oField : aFields) {
        if (!oReader.ReadString(oField.m_szName, oReq.*oField.m_pField, sErrMsg)) {
            return false;
        }
    }
    return true;
}

// The attachment count and the name/data pairs it announces. Every pair takes at least
// 8 bytes, so an absurd count fails at the first missing pair instead of allocating.
bool ReadAttachments(CFieldReader& oReader, SRequest& oReq, std::string& sErrMsg) {
    uint32_t dwCount = 0;
    if (!oReader.ReadNumber("attachment count", dwCount, sErrMsg)) {
        return false;
    }
    for (uint32_t i = 0; i < dwCount; ++i) {
        SRequest::SAttachment oAttach;
        const std::string sIndex = " of attachment " + to_str(i + 1);
        if (!oReader.ReadString(("name" + sIndex).c_str(), oAttach.m_sName, sErrMsg) ||
            !oReader.ReadString(("data" + sIndex).c_str(), oAttach.m_sData, sErrMsg)) {
            return false;
        }
        oReq.m_vecAttachments.push_back(std::move(oAttach));
    }
    return true;
}

bool ReadBody(CHANNEL eChannel, CFieldReader& oReader, SRequest& oReq, std::string& sErrMsg) {
    switch (eChannel) {
        case CH_LUMO:
            return ReadStringFields(oReader, kLumoFields, oReq, sErrMsg);
        case CH_MAIL:
            return ReadStringFields(oReader, kMailFields, oReq, sErrMsg) &&
                   ReadAttachments(oReader, oReq, sErrMsg);
        case CH_SMS:
        case CH_ZEPH:
            break;
    }
    return ReadStringFields(oReader, kInstantFields, oReq, sErrMsg);
}

}  // namespace

bool DecodeRequest(CHANNEL eChannel, const std::string& sPkg, SRequest& oReq,
                   std::string& sErrMsg) {
    if (sPkg.size() < sizeof(MSG_PKG_HEAD)) {
        sErrMsg = "package of " + to_str(sPkg.size()) + " bytes is shorter than the " +
                  to_str(sizeof(MSG_PKG_HEAD)) + "-byte header";
        return false;
    }
    MSG_PKG_HEAD oHead;
    memcpy(&oHead, sPkg.data(), sizeof(oHead));
    oReq = SRequest();
    oReq.m_eChannel = eChannel;
    oReq.m_cCmd = oHead.cmd();
    oReq.m_cPkgType = oHead.pkg_type();
    oReq.m_cClientVersion = oHead.client_version();
    oReq.m_dwTimestamp = oHead.timestamp();
    oReq.m_dwResult = oHead.result();

    CFieldReader oReader(sPkg, sizeof(MSG_PKG_HEAD));
    if (!ReadBody(eChannel, oReader, oReq, sErrMsg)) {
        return false;
    }
    if (oReader.Left() != 0) {
        sErrMsg = to_str(oReader.Left()) + " bytes of trailing garbage after the last field";
        return false;
    }
    return true;
}

}  // namespace relay_proto
