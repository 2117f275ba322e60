#include "relayd/record/record_json.h"

#include <time.h>

#include <cstdio>

namespace relayd {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of pBytes (at most nLeft
// bytes), 0 when there is none: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t SequenceLength(const unsigned char* pBytes, size_t nLeft) {
    const unsigned char c = pBytes[0];
    if (c < 0x80) {
        return 1;
    }
    size_t nLen = 0;
    unsigned char cMin = 0x80;  // bounds of the second byte
    unsigned char cMax = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        nLen = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        cMin = c == 0xE0 ? 0xA0 : 0x80;
        cMax = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        cMin = c == 0xF0 ? 0x90 : 0x80;
        cMax = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (nLen == 0 || nLen > nLeft || pBytes[1] < cMin || pBytes[1] > cMax) {
        return 0;
    }
    for (size_t i = 2; i < nLen; ++i) {
        if ((pBytes[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return nLen;
}

// sText with every byte that starts no well-formed UTF-8 sequence replaced by U+FFFD.
std::string Utf8Text(const std::string& sText) {
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(sText.data());
    std::string sOut;
    size_t nCopied = 0;  // sText[0, nCopied) is in sOut
    for (size_t i = 0; i < sText.size();) {
        const size_t nLen = SequenceLength(pBytes + i, sText.size() - i);
        if (nLen != 0) {
            i += nLen;
            continue;
        }
        sOut.append(sText, nCopied, i - nCopied);
        sOut += kReplacement;
        nCopied = ++i;
    }
    if (nCopied == 0) {
        return sText;
    }
    sOut.append(sText, nCopied, std::string::npos);
    return sOut;
}

template <typename JSON>
JSON NameList(const std::vector<std::string>& vecNames) {
    JSON oList = JSON::array();
    for (const std::string& sName : vecNames) {
        oList.push_back(Utf8Text(sName));
    }
    return oList;
}

template <typename JSON>
JSON BuildRecord(const SMessage& oMessage, bool bWithDeliveries) {
    JSON oAttachments = JSON::array();
    for (const SAttachment& oAttachment : oMessage.m_vecAttachments) {
        JSON oEntry = JSON::object();
        oEntry["index"] = oAttachment.m_dwIndex;
        oEntry["name"] = Utf8Text(oAttachment.m_sName);
        oEntry["size"] = oAttachment.m_ddwSize;
        oEntry["sha256"] = Utf8Text(oAttachment.m_sSha256Hex);
        oAttachments.push_back(std::move(oEntry));
    }
    JSON oRecord = JSON::object();
    oRecord["id"] = oMessage.m_llId;
    oRecord["channel"] = relay_proto::ChannelName(oMessage.m_eChannel);
    oRecord["status"] = StatusName(oMessage.m_eStatus);
    oRecord["received_at"] = IsoTime(oMessage.m_llReceivedAtMs);
    oRecord["peer"] = Utf8Text(oMessage.m_sPeer);
    oRecord["timestamp"] = oMessage.m_dwTimestamp;
    oRecord["key_id"] = Utf8Text(oMessage.m_sKeyId);
    oRecord["sender"] = Utf8Text(oMessage.m_sSender);
    oRecord["receivers"] = NameList<JSON>(oMessage.m_vecReceivers);
    oRecord["cc"] = NameList<JSON>(oMessage.m_vecCc);
    oRecord["title"] = Utf8Text(oMessage.m_sTitle);
    oRecord["content"] = Utf8Text(oMessage.m_sContent);
    oRecord["attachments"] = std::move(oAttachments);
    oRecord["image_size"] = oMessage.m_ddwImageSize;
    oRecord["attempts"] = oMessage.m_dwAttempts;
    oRecord["last_error"] = Utf8Text(oMessage.m_sLastError);
    if (bWithDeliveries) {
        JSON oDeliveries = JSON::array();
        for (const SDelivery& oDelivery : oMessage.m_vecDeliveries) {
            JSON oEntry = JSON::object();
            oEntry["at"] = IsoTime(oDelivery.m_llAtMs);
            oEntry["outcome"] = OutcomeName(oDelivery.m_eOutcome);
            oEntry["detail"] = Utf8Text(oDelivery.m_sDetail);
            oDeliveries.push_back(std::move(oEntry));
        }
        oRecord["deliveries"] = std::move(oDeliveries);
    }
    return oRecord;
}

template <typename JSON>
JSON BuildKey(const SKey& oKey) {
    JSON oChannels = JSON::array();
    for (relay_proto::CHANNEL eChannel : oKey.m_vecChannels) {
        oChannels.push_back(relay_proto::ChannelName(eChannel));
    }
    JSON oJson = JSON::object();
    oJson["id"] = Utf8Text(oKey.m_sId);
    oJson["receivers"] = NameList<JSON>(oKey.m_vecReceivers);
    oJson["cc"] = NameList<JSON>(oKey.m_vecCc);
    oJson["subject"] = Utf8Text(oKey.m_sSubject);
    oJson["channels"] = std::move(oChannels);
    oJson["created_at"] = IsoTime(oKey.m_llCreatedAtMs);
    oJson["revoked"] = oKey.m_bRevoked;
    oJson["source"] = oKey.m_eSource == KS_API ? "api" : "config";
    return oJson;
}

}  // namespace

std::string IsoTime(int64_t llUnixMs) {
    int64_t llSeconds = llUnixMs / 1000;
    int64_t llMillis = llUnixMs % 1000;
    if (llMillis < 0) {
        llMillis += 1000;
        --llSeconds;
    }
    const time_t tSeconds = static_cast<time_t>(llSeconds);
    struct tm oTm = {};
    if (gmtime_r(&tSeconds, &oTm) == nullptr) {
        return "1970-01-01T00:00:00.000Z";  // beyond any calendar year: no real time
    }
    char szBuf[64];
    snprintf(szBuf, sizeof(szBuf), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", oTm.tm_year + 1900,
             oTm.tm_mon + 1, oTm.tm_mday, oTm.tm_hour, oTm.tm_min, oTm.tm_sec,
             static_cast<int>(llMillis));
    return szBuf;
}

nlohmann::json RecordJson(const SMessage& oMessage, bool bWithDeliveries) {
    return BuildRecord<nlohmann::json>(oMessage, bWithDeliveries);
}

nlohmann::json KeyJson(const SKey& oKey) {
    return BuildKey<nlohmann::json>(oKey);
}

nlohmann::ordered_json RecordJsonOrdered(const SMessage& oMessage, bool bWithDeliveries) {
    return BuildRecord<nlohmann::ordered_json>(oMessage, bWithDeliveries);
}

nlohmann::ordered_json KeyJsonOrdered(const SKey& oKey) {
    return BuildKey<nlohmann::ordered_json>(oKey);
}

}  // namespace relayd
