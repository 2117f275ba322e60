#include "relayd/config/config_rules.h"

#include <curl/curl.h>

#include <cstring>
#include <map>
#include <memory>

#include "relay_proto/utf8.h"
#include "relayd/config/network.h"
#include "relayd/record/duration.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

struct SCurlUrlFree {
    void operator()(CURLU* pUrl) const { curl_url_cleanup(pUrl); }
};

// sUrl is empty, or an absolute URL with a host whose scheme is szScheme1 or szScheme2.
bool CheckUrl(const std::string& sUrl, const char* szScheme1, const char* szScheme2,
              std::string& sWhy) {
    if (sUrl.empty()) {
        return true;
    }
    const std::string sExpected =
        std::string("expected a URL starting with ") + szScheme1 + ":// or " + szScheme2 + "://";
    std::unique_ptr<CURLU, SCurlUrlFree> pUrl(curl_url());
    char* szScheme = nullptr;
    char* szHost = nullptr;
    const bool bParsed = pUrl != nullptr &&
                         curl_url_set(pUrl.get(), CURLUPART_URL, sUrl.c_str(),
                                      CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
                         curl_url_get(pUrl.get(), CURLUPART_SCHEME, &szScheme, 0) == CURLUE_OK &&
                         curl_url_get(pUrl.get(), CURLUPART_HOST, &szHost, 0) == CURLUE_OK;
    const bool bSchemeOk =
        bParsed && (strcmp(szScheme, szScheme1) == 0 || strcmp(szScheme, szScheme2) == 0);
    const bool bHostOk = bParsed && szHost[0] != '\0';
    curl_free(szScheme);
    curl_free(szHost);
    if (!bSchemeOk || !bHostOk) {
        sWhy = "'" + sUrl + "': " + sExpected + " and naming a host";
        return false;
    }
    return true;
}

bool CheckRange(const char* szName, int64_t llValue, int64_t llMin, int64_t llMax,
                std::string& sErrMsg) {
    if (llValue >= llMin && llValue <= llMax) {
        return true;
    }
    sErrMsg = std::string(szName) + ": " + std::to_string(llValue) + " is not from " +
              std::to_string(llMin) + " to " + std::to_string(llMax);
    return false;
}

bool CheckDuration(const char* szName, int64_t llMs, int64_t llMin, std::string& sErrMsg) {
    if (llMs >= llMin && llMs <= kMaxDurationMs) {
        return true;
    }
    sErrMsg = std::string(szName) + ": " + std::to_string(llMs) + "ms is not from " +
              FormatDuration(llMin) + " to " + FormatDuration(kMaxDurationMs);
    return false;
}

// Names sWhy with szName when bOk is false.
bool Named(const char* szName, bool bOk, const std::string& sWhy, std::string& sErrMsg) {
    if (!bOk) {
        sErrMsg = std::string(szName) + ": " + sWhy;
    }
    return bOk;
}

bool IsLabelByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Labels of A-Z a-z 0-9 and '-', none empty or starting with '-', joined by dots; at
// most 253 bytes.
bool IsHostName(const std::string& sName) {
    if (sName.empty() || sName.size() > 253) {
        return false;
    }
    size_t nLabelStart = 0;
    for (size_t i = 0; i <= sName.size(); ++i) {
        if (i == sName.size() || sName[i] == '.') {
            if (i == nLabelStart || sName[nLabelStart] == '-') {
                return false;
            }
            nLabelStart = i + 1;
        } else if (!IsLabelByte(sName[i])) {
            return false;
        }
    }
    return true;
}

bool FinishListen(const SConfig& oConfig, std::string& sErrMsg) {
    if (oConfig.m_vecListen.empty()) {
        sErrMsg = "listen: no address to serve";
        return false;
    }
    std::map<std::string, std::string> mapSeen;  // normalised form -> as written
    std::string sWhy;
    for (const std::string& sAddr : oConfig.m_vecListen) {
        if (!Named("listen", CheckListenAddress(sAddr, sWhy), sWhy, sErrMsg)) {
            return false;
        }
        SNetwork oHost;
        ParseNetwork(sAddr, oHost, sWhy);
        const auto oInserted = mapSeen.emplace(FormatNetwork(oHost), sAddr);
        if (!oInserted.second) {
            sErrMsg =
                "listen: '" + sAddr + "' is the same address as '" + oInserted.first->second + "'";
            return false;
        }
    }
    return true;
}

bool FinishHttp(const SConfig& oConfig, std::string& sErrMsg) {
    std::string sWhy;
    if (!Named("http", CheckHttp(oConfig.m_sHttp, sWhy), sWhy, sErrMsg) ||
        !Named("http_token", CheckHttpToken(oConfig.m_sHttpToken, sWhy), sWhy, sErrMsg)) {
        return false;
    }
    SHostPort oHostPort;
    if (oConfig.m_sHttp != "off" && oConfig.m_sHttpToken.empty() &&
        ParseHostPort(oConfig.m_sHttp, 1, oHostPort, sWhy) &&
        !IsLoopbackAddress(oHostPort.m_sHost)) {
        sErrMsg = "http: '" + oConfig.m_sHttp +
                  "' is reachable from other machines; set http_token to serve it";
        return false;
    }
    return true;
}

bool FinishAllow(SConfig& oConfig, std::string& sErrMsg) {
    if (oConfig.m_vecAllowText.empty()) {
        sErrMsg = "allow: no network, so every client would be refused";
        return false;
    }
    std::vector<SNetwork> vecAllow;
    for (const std::string& sNetwork : oConfig.m_vecAllowText) {
        SNetwork oNet;
        std::string sWhy;
        if (!Named("allow", ParseNetwork(sNetwork, oNet, sWhy), sWhy, sErrMsg)) {
            return false;
        }
        vecAllow.push_back(oNet);
    }
    oConfig.m_vecAllow = vecAllow;
    return true;
}

bool FinishDestinations(const SConfig& oConfig, std::string& sErrMsg) {
    std::string sWhy;
    if (!Named("mail.smtp", CheckSmtpUrl(oConfig.m_oMail.m_sSmtp, sWhy), sWhy, sErrMsg) ||
        !Named("mail.from", CheckMailFrom(oConfig.m_oMail.m_sFrom, sWhy), sWhy, sErrMsg) ||
        !Named("mail.domain", CheckMailDomain(oConfig.m_oMail.m_sDomain, sWhy), sWhy, sErrMsg)) {
        return false;
    }
    for (const relay_proto::CHANNEL eChannel :
         {relay_proto::CH_ZEPH, relay_proto::CH_LUMO, relay_proto::CH_SMS}) {
        const std::string sName = std::string(relay_proto::ChannelName(eChannel)) + ".webhook";
        if (!Named(sName.c_str(), CheckWebhookUrl(oConfig.m_aWebhooks[eChannel].m_sUrl, sWhy), sWhy,
                   sErrMsg)) {
            return false;
        }
    }
    return true;
}

bool FinishDeliveryTimes(const SConfig& oConfig, std::string& sErrMsg) {
    const auto& oDelivery = oConfig.m_oDelivery;
    if (!CheckDuration("delivery.sync_timeout", oDelivery.m_llSyncTimeoutMs, 1, sErrMsg) ||
        !CheckDuration("delivery.attempt_timeout", oDelivery.m_llAttemptTimeoutMs, 1, sErrMsg) ||
        !CheckDuration("delivery.retry_initial", oDelivery.m_llRetryInitialMs, 1, sErrMsg) ||
        !CheckDuration("delivery.retry_max", oDelivery.m_llRetryMaxMs, 1, sErrMsg) ||
        !CheckDuration("delivery.max_age", oDelivery.m_llMaxAgeMs, 1, sErrMsg)) {
        return false;
    }
    if (oDelivery.m_llRetryInitialMs > oDelivery.m_llRetryMaxMs) {
        sErrMsg = "delivery.retry_initial (" + FormatDuration(oDelivery.m_llRetryInitialMs) +
                  ") is longer than delivery.retry_max (" +
                  FormatDuration(oDelivery.m_llRetryMaxMs) + ")";
        return false;
    }
    return true;
}

// A message deleted while still inside the dedupe window would be stored again when its
// client offers the same bytes to this relay a second time.
bool FinishRetention(const SConfig& oConfig, std::string& sErrMsg) {
    if (!CheckDuration("retention", oConfig.m_llRetentionMs, 0, sErrMsg)) {
        return false;
    }
    if (oConfig.m_llRetentionMs != 0 && oConfig.m_llRetentionMs < oConfig.m_llDedupeWindowMs) {
        sErrMsg = "retention (" + FormatDuration(oConfig.m_llRetentionMs) +
                  ") is shorter than dedupe_window (" + FormatDuration(oConfig.m_llDedupeWindowMs) +
                  "); use 0s to keep every message";
        return false;
    }
    return true;
}

bool FinishKeys(const SConfig& oConfig, std::string& sErrMsg) {
    std::map<std::string, bool> mapSeen;
    std::string sWhy;
    for (const SKey& oKey : oConfig.m_vecKeys) {
        if (!Named("keys.id", CheckKeyId(oKey.m_sId, sWhy), sWhy, sErrMsg)) {
            return false;
        }
        if (!mapSeen.emplace(oKey.m_sId, true).second) {
            sErrMsg = "keys.id: '" + oKey.m_sId + "' is given to more than one key";
            return false;
        }
        for (const auto* pNames : {&oKey.m_vecReceivers, &oKey.m_vecCc}) {
            for (const std::string& sName : *pNames) {
                if (!Named("keys.receivers/cc", CheckName(sName, sWhy), sWhy, sErrMsg)) {
                    return false;
                }
            }
        }
        if (!relay_proto::IsValidUtf8(oKey.m_sSubject)) {
            sErrMsg = "keys.subject: not valid UTF-8";
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckListenAddress(const std::string& sAddr, std::string& sWhy) {
    bool bIpv6 = false;
    if (!ParseIpLiteral(sAddr, bIpv6)) {
        sWhy = "'" + sAddr + "' is not an IPv4 or IPv6 address (write IPv6 without brackets)";
        return false;
    }
    return true;
}

bool CheckPortOffset(int64_t llOffset, std::string& sWhy) {
    if (llOffset < kMinPortOffset || llOffset > kMaxPortOffset) {
        sWhy = std::to_string(llOffset) + " would move a channel port outside 1 to 65535 (from " +
               std::to_string(kMinPortOffset) + " to " + std::to_string(kMaxPortOffset) + ")";
        return false;
    }
    return true;
}

bool CheckHttp(const std::string& sHttp, std::string& sWhy) {
    SHostPort oHostPort;
    if (sHttp != "off" && !ParseHostPort(sHttp, 1, oHostPort, sWhy)) {
        sWhy += ", or \"off\"";
        return false;
    }
    return true;
}

bool CheckHttpToken(const std::string& sToken, std::string& sWhy) {
    for (const char c : sToken) {
        if (c < 0x21 || c > 0x7E) {
            sWhy = "may hold only visible ASCII characters (no blanks)";
            return false;
        }
    }
    return true;
}

bool CheckStore(const std::string& sStore, std::string& sWhy) {
    if (sStore.empty()) {
        sWhy = "empty; give a SQLite file path or a postgresql:// URL";
        return false;
    }
    return true;
}

bool CheckAllowEntry(const std::string& sNetwork, std::string& sWhy) {
    SNetwork oNet;
    return ParseNetwork(sNetwork, oNet, sWhy);
}

bool CheckSmtpUrl(const std::string& sUrl, std::string& sWhy) {
    return CheckUrl(sUrl, "smtp", "smtps", sWhy);
}

bool CheckWebhookUrl(const std::string& sUrl, std::string& sWhy) {
    return CheckUrl(sUrl, "http", "https", sWhy);
}

bool CheckMailFrom(const std::string& sFrom, std::string& sWhy) {
    // local@domain, usable as envelope and header sender: printable ASCII, no blanks,
    // quotes, brackets, commas or semicolons in the local part, a host name after the '@'.
    const size_t nAt = sFrom.rfind('@');
    bool bOk = nAt != std::string::npos && nAt > 0 && IsHostName(sFrom.substr(nAt + 1));
    for (size_t i = 0; bOk && i < nAt; ++i) {
        const char c = sFrom[i];
        bOk = c > 0x20 && c < 0x7F && std::strchr("\"(),:;<>@[\\]", c) == nullptr;
    }
    if (!bOk) {
        sWhy = "'" + QuoteForLog(sFrom) + "' is not a mail address such as fanout-relay@localhost";
    }
    return bOk;
}

bool CheckMailDomain(const std::string& sDomain, std::string& sWhy) {
    if (!IsHostName(sDomain)) {
        sWhy = "'" + QuoteForLog(sDomain) + "' is not a domain name such as example.com";
        return false;
    }
    return true;
}

bool CheckKeyId(const std::string& sId, std::string& sWhy) {
    if (sId.empty()) {
        sWhy = "empty";
        return false;
    }
    for (const char c : sId) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            sWhy = "'" + QuoteForLog(sId) + "' holds a control character";
            return false;
        }
    }
    return true;
}

bool CheckName(const std::string& sName, std::string& sWhy) {
    if (!IsName(sName)) {
        sWhy = "'" + QuoteForLog(sName) + "' is not a name (a-z, A-Z, 0-9, _ and - only)";
        return false;
    }
    return true;
}

bool CheckDeliveryConfig(const SConfig& oConfig, std::string& sErrMsg) {
    return FinishDestinations(oConfig, sErrMsg) && FinishDeliveryTimes(oConfig, sErrMsg);
}

namespace {

// The budget for requests in memory takes at least one frame of the largest package.
bool FinishPendingBytes(const SConfig& oConfig, std::string& sErrMsg) {
    const uint64_t ddwFrame = uint64_t(oConfig.m_dwMaxPackage) + relay_proto::FRAME_OVERHEAD;
    if (oConfig.m_ddwMaxPendingBytes >= ddwFrame) {
        return true;
    }
    sErrMsg = "max_pending_bytes: " + std::to_string(oConfig.m_ddwMaxPendingBytes) +
              " is less than one frame of max_package (" + std::to_string(ddwFrame) + " bytes)";
    return false;
}

}  // namespace

bool FinishConfig(SConfig& oConfig, std::string& sErrMsg) {
    std::string sWhy;
    return FinishListen(oConfig, sErrMsg) &&
           Named("port_offset", CheckPortOffset(oConfig.m_iPortOffset, sWhy), sWhy, sErrMsg) &&
           FinishHttp(oConfig, sErrMsg) &&
           CheckRange("http_max_connections", oConfig.m_dwHttpMaxConnections,
                      kMinHttpMaxConnections, kMaxHttpMaxConnections, sErrMsg) &&
           Named("store", CheckStore(oConfig.m_sStore, sWhy), sWhy, sErrMsg) &&
           FinishAllow(oConfig, sErrMsg) &&
           CheckDuration("dedupe_window", oConfig.m_llDedupeWindowMs, 0, sErrMsg) &&
           CheckRange("max_connections", oConfig.m_dwMaxConnections, 1, kMaxMaxConnections,
                      sErrMsg) &&
           CheckDuration("read_timeout", oConfig.m_llReadTimeoutMs, 1, sErrMsg) &&
           CheckRange("max_package", oConfig.m_dwMaxPackage, kMinMaxPackage, kMaxMaxPackage,
                      sErrMsg) &&
           CheckRange("max_connections_per_peer", oConfig.m_dwMaxConnectionsPerPeer, 1,
                      kMaxMaxConnections, sErrMsg) &&
           CheckRange("max_pending_bytes", static_cast<int64_t>(oConfig.m_ddwMaxPendingBytes),
                      kMinMaxPackage, kMaxMaxPendingBytes, sErrMsg) &&
           FinishPendingBytes(oConfig, sErrMsg) && CheckDeliveryConfig(oConfig, sErrMsg) &&
           FinishRetention(oConfig, sErrMsg) && FinishKeys(oConfig, sErrMsg);
}

}  // namespace relayd
