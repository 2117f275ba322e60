#include "relayd/http/http_parse.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include <nlohmann/json.hpp>

#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

const size_t kMaxKeyIdLength = 128;
const size_t kMaxSubjectLength = 1024;

// Decimal digits only (no sign, no spaces) into ddwValue; ID_NO_SUCH past ddwMax.
ID_PARSE ParseDecimal(const std::string& sText, uint64_t ddwMax, uint64_t& ddwValue) {
    const char* pEnd = sText.data() + sText.size();
    const std::from_chars_result oResult = std::from_chars(sText.data(), pEnd, ddwValue);
    if (sText.empty() || oResult.ptr != pEnd) {
        return ID_BAD;
    }
    return oResult.ec == std::errc::result_out_of_range || ddwValue > ddwMax ? ID_NO_SUCH : ID_OK;
}

// The one value of a parameter; false when it is given more than once.
bool SingleParam(const std::multimap<std::string, std::string>& mapParams, const char* szName,
                 const std::string*& pValue, std::string& sErrMsg) {
    pValue = nullptr;
    const auto oRange = mapParams.equal_range(szName);
    for (auto it = oRange.first; it != oRange.second; ++it) {
        if (pValue != nullptr) {
            sErrMsg = std::string("parameter ") + szName + " is given more than once";
            return false;
        }
        pValue = &it->second;
    }
    return true;
}

bool ParseCount(const std::string& sText, const char* szName, uint64_t ddwMax, uint64_t& ddwValue,
                std::string& sErrMsg) {
    const ID_PARSE eParse = ParseDecimal(sText, std::numeric_limits<uint64_t>::max(), ddwValue);
    if (eParse != ID_OK || ddwValue > ddwMax) {
        sErrMsg = std::string(szName) + " must be a whole number from 0 to " +
                  std::to_string(ddwMax) + ", not \"" + sText + "\"";
        return false;
    }
    return true;
}

// Receivers or cc: "alice;bob" (empty pieces dropped) or ["alice", "bob"].
bool ParseNames(const nlohmann::json& oValue, const char* szField,
                std::vector<std::string>& vecNames, std::string& sErrMsg) {
    vecNames.clear();
    std::vector<std::string> vecPieces;
    if (oValue.is_string()) {
        vecPieces = SplitNameList(oValue.get_ref<const std::string&>());
    } else if (oValue.is_array()) {
        for (const nlohmann::json& oItem : oValue) {
            if (!oItem.is_string()) {
                sErrMsg = std::string(szField) + " must hold only strings";
                return false;
            }
            vecPieces.push_back(oItem.get<std::string>());
        }
    } else if (!oValue.is_null()) {
        sErrMsg = std::string(szField) + " must be a string of names separated by ';' or an array";
        return false;
    }
    for (const std::string& sName : vecPieces) {
        if (!IsName(sName)) {
            sErrMsg = std::string(szField) + ": \"" + sName +
                      "\" is not a name (letters, digits, '_' and '-' only)";
            return false;
        }
        vecNames.push_back(sName);
    }
    return true;
}

bool ParseChannels(const nlohmann::json& oValue, std::vector<relay_proto::CHANNEL>& vecChannels,
                   std::string& sErrMsg) {
    vecChannels.clear();
    if (oValue.is_null()) {
        return true;
    }
    if (!oValue.is_array()) {
        sErrMsg = "channels must be an array of channel words";
        return false;
    }
    for (const nlohmann::json& oItem : oValue) {
        relay_proto::CHANNEL eChannel;
        if (!oItem.is_string() ||
            !relay_proto::ChannelFromName(oItem.get<std::string>(), eChannel)) {
            sErrMsg = "channels: " +
                      oItem.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                      " is not mail, zeph, lumo or sms";
            return false;
        }
        if (std::find(vecChannels.begin(), vecChannels.end(), eChannel) == vecChannels.end()) {
            vecChannels.push_back(eChannel);
        }
    }
    std::sort(vecChannels.begin(), vecChannels.end());
    return true;
}

}  // namespace

ID_PARSE ParseMessageId(const std::string& sText, int64_t& llId) {
    uint64_t ddwValue = 0;
    const ID_PARSE eParse =
        ParseDecimal(sText, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), ddwValue);
    if (eParse != ID_OK) {
        return eParse;
    }
    llId = static_cast<int64_t>(ddwValue);
    return llId == 0 ? ID_NO_SUCH : ID_OK;
}

ID_PARSE ParseAttachmentIndex(const std::string& sText, uint32_t& dwIndex) {
    uint64_t ddwValue = 0;
    const ID_PARSE eParse = ParseDecimal(sText, std::numeric_limits<uint32_t>::max(), ddwValue);
    dwIndex = static_cast<uint32_t>(ddwValue);
    return eParse;
}

bool ParseListRequest(const std::multimap<std::string, std::string>& mapParams,
                      SListRequest& oRequest, std::string& sErrMsg) {
    oRequest = SListRequest();
    SMessageQuery& oQuery = oRequest.m_oQuery;
    const std::string* pValue = nullptr;
    if (!SingleParam(mapParams, "channel", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr && !pValue->empty()) {
        if (!relay_proto::ChannelFromName(*pValue, oQuery.m_eChannel)) {
            sErrMsg = "channel must be mail, zeph, lumo or sms, not \"" + *pValue + "\"";
            return false;
        }
        oQuery.m_bAnyChannel = false;
    }
    if (!SingleParam(mapParams, "status", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr && !pValue->empty()) {
        if (!StatusFromName(*pValue, oQuery.m_eStatus)) {
            sErrMsg = "status must be captured, queued, delivering, delivered or failed, not \"" +
                      *pValue + "\"";
            return false;
        }
        oQuery.m_bAnyStatus = false;
    }
    if (!SingleParam(mapParams, "receiver", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr) {
        oQuery.m_sReceiver = *pValue;
    }
    if (!SingleParam(mapParams, "q", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr) {
        oQuery.m_sText = *pValue;
    }
    uint64_t ddwValue = 0;
    if (!SingleParam(mapParams, "limit", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr) {
        if (!ParseCount(*pValue, "limit", kMaxListLimit, ddwValue, sErrMsg)) {
            return false;
        }
        oQuery.m_dwLimit = static_cast<uint32_t>(ddwValue);
    }
    if (!SingleParam(mapParams, "offset", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr) {
        if (!ParseCount(*pValue, "offset", std::numeric_limits<uint32_t>::max(), ddwValue,
                        sErrMsg)) {
            return false;
        }
        oQuery.m_dwOffset = static_cast<uint32_t>(ddwValue);
    }
    if (!SingleParam(mapParams, "wait", pValue, sErrMsg)) {
        return false;
    }
    if (pValue != nullptr) {
        // Any number of seconds; past the longest wait, the longest wait.
        const ID_PARSE eParse = ParseDecimal(*pValue, kMaxWaitMs / 1000, ddwValue);
        if (eParse == ID_BAD) {
            sErrMsg = "wait must be a whole number of seconds, not \"" + *pValue + "\"";
            return false;
        }
        oRequest.m_llWaitMs = eParse == ID_OK ? static_cast<int64_t>(ddwValue) * 1000 : kMaxWaitMs;
    }
    return true;
}

bool IsValidKeyId(const std::string& sId) {
    return !sId.empty() && sId.size() <= kMaxKeyIdLength &&
           std::all_of(sId.begin(), sId.end(), [](char c) { return IsNameByte(c) || c == '.'; });
}

bool ParseKeyRequest(const std::string& sBody, SKey& oKey, bool& bIdGiven, std::string& sErrMsg) {
    oKey = SKey();
    bIdGiven = false;
    // No exceptions: a body that is not JSON (or not valid UTF-8) comes back discarded.
    const nlohmann::json oBody = nlohmann::json::parse(sBody, nullptr, false);
    if (oBody.is_discarded() || !oBody.is_object()) {
        sErrMsg = "the body must be a JSON object";
        return false;
    }
    for (auto it = oBody.begin(); it != oBody.end(); ++it) {
        const std::string& sField = it.key();
        const nlohmann::json& oValue = it.value();
        if (sField == "id") {
            if (!oValue.is_string() || !IsValidKeyId(oValue.get<std::string>())) {
                sErrMsg = "id must be 1 to 128 letters, digits, '.', '_' or '-'";
                return false;
            }
            oKey.m_sId = oValue.get<std::string>();
            bIdGiven = true;
        } else if (sField == "receivers") {
            if (!ParseNames(oValue, "receivers", oKey.m_vecReceivers, sErrMsg)) {
                return false;
            }
        } else if (sField == "cc") {
            if (!ParseNames(oValue, "cc", oKey.m_vecCc, sErrMsg)) {
                return false;
            }
        } else if (sField == "subject") {
            if (!oValue.is_string() && !oValue.is_null()) {
                sErrMsg = "subject must be a string";
                return false;
            }
            oKey.m_sSubject = oValue.is_string() ? oValue.get<std::string>() : "";
            if (oKey.m_sSubject.size() > kMaxSubjectLength ||
                oKey.m_sSubject.find('\0') != std::string::npos) {
                sErrMsg = "subject must be at most 1024 bytes, without NUL";
                return false;
            }
        } else if (sField == "channels") {
            if (!ParseChannels(oValue, oKey.m_vecChannels, sErrMsg)) {
                return false;
            }
        } else {
            sErrMsg = "unknown field \"" + sField + "\"";
            return false;
        }
    }
    oKey.m_eSource = KS_API;
    return true;
}

}  // namespace relayd
