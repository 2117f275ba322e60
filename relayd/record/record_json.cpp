#include "relayd/record/record_json.h"

#include <time.h>

#include <cstdio>

namespace relayd {

namespace {

using JSON = nlohmann::ordered_json;

JSON BuildRecord(const SMessage& oMessage, bool bWithDeliveries) {
    JSON oAttachments = JSON::array();
    for (const SAttachment& oAttachment : oMessage.m_vecAttachments) {
        JSON oEntry = JSON::object();
        oEntry["index"] = oAttachment.m_dwIndex;
        oEntry["name"] = oAttachment.m_sName;
        oEntry["size"] = oAttachment.m_ddwSize;
        oEntry["sha256"] = oAttachment.m_sSha256Hex;
        oAttachments.push_back(std::move(oEntry));
    }
    JSON oRecord = JSON::object();
    oRecord["id"] = oMessage.m_llId;
    oRecord["channel"] = relay_proto::ChannelName(oMessage.m_eChannel);
    oRecord["status"] = StatusName(oMessage.m_eStatus);
    oRecord["received_at"] = IsoTime(oMessage.m_llReceivedAtMs);
    oRecord["peer"] = oMessage.m_sPeer;
    oRecord["timestamp"] = oMessage.m_dwTimestamp;
    oRecord["key_id"] = oMessage.m_sKeyId;
    oRecord["sender"] = oMessage.m_sSender;
    oRecord["receivers"] = oMessage.m_vecReceivers;
    oRecord["cc"] = oMessage.m_vecCc;
    oRecord["title"] = oMessage.m_sTitle;
    oRecord["content"] = oMessage.m_sContent;
    oRecord["attachments"] = std::move(oAttachments);
    oRecord["image_size"] = oMessage.m_ddwImageSize;
    oRecord["attempts"] = oMessage.m_dwAttempts;
    oRecord["last_error"] = oMessage.m_sLastError;
    if (bWithDeliveries) {
        JSON oDeliveries = JSON::array();
        for (const SDelivery& oDelivery : oMessage.m_vecDeliveries) {
            JSON oEntry = JSON::object();
            oEntry["at"] = IsoTime(oDelivery.m_llAtMs);
            oEntry["outcome"] = OutcomeName(oDelivery.m_eOutcome);
            oEntry["detail"] = oDelivery.m_sDetail;
            oDeliveries.push_back(std::move(oEntry));
        }
        oRecord["deliveries"] = std::move(oDeliveries);
    }
    return oRecord;
}

JSON BuildKey(const SKey& oKey) {
    JSON oChannels = JSON::array();
    for (relay_proto::CHANNEL eChannel : oKey.m_vecChannels) {
        oChannels.push_back(relay_proto::ChannelName(eChannel));
    }
    JSON oJson = JSON::object();
    oJson["id"] = oKey.m_sId;
    oJson["receivers"] = oKey.m_vecReceivers;
    oJson["cc"] = oKey.m_vecCc;
    oJson["subject"] = oKey.m_sSubject;
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

nlohmann::ordered_json RecordJsonOrdered(const SMessage& oMessage, bool bWithDeliveries) {
    return BuildRecord(oMessage, bWithDeliveries);
}

nlohmann::ordered_json KeyJsonOrdered(const SKey& oKey) {
    return BuildKey(oKey);
}

}  // namespace relayd
