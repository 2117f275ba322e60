#include "relayd/record_json.h"

#include <ctime>

namespace relayd {

namespace {

nlohmann::json ChannelsJson(const std::vector<relay_proto::CHANNEL>& vecChannels) {
    nlohmann::json oList = nlohmann::json::array();
    for (relay_proto::CHANNEL eChannel : vecChannels) {
        oList.push_back(relay_proto::ChannelName(eChannel));
    }
    return oList;
}

}  // namespace

std::string IsoTime(int64_t llUnixMs) {
    // Floor division, so times before 1970 still get a millisecond part in 0..999.
    int64_t llSeconds = llUnixMs / 1000;
    int64_t llMillis = llUnixMs % 1000;
    if (llMillis < 0) {
        llMillis += 1000;
        --llSeconds;
    }
    const time_t tSeconds = static_cast<time_t>(llSeconds);
    struct tm oTm = {};
    gmtime_r(&tSeconds, &oTm);
    char szText[48];
    snprintf(szText, sizeof(szText), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", oTm.tm_year + 1900,
             oTm.tm_mon + 1, oTm.tm_mday, oTm.tm_hour, oTm.tm_min, oTm.tm_sec,
             static_cast<int>(llMillis));
    return szText;
}

nlohmann::json RecordJson(const SMessage& oMessage, bool bWithDeliveries) {
    nlohmann::json oAttachments = nlohmann::json::array();
    for (const SAttachment& oAttachment : oMessage.m_vecAttachments) {
        oAttachments.push_back({{"index", oAttachment.m_dwIndex},
                                {"name", oAttachment.m_sName},
                                {"size", oAttachment.m_ddwSize},
                                {"sha256", oAttachment.m_sSha256Hex}});
    }
    nlohmann::json oRecord = {{"id", oMessage.m_llId},
                              {"channel", relay_proto::ChannelName(oMessage.m_eChannel)},
                              {"status", StatusName(oMessage.m_eStatus)},
                              {"received_at", IsoTime(oMessage.m_llReceivedAtMs)},
                              {"peer", oMessage.m_sPeer},
                              {"timestamp", oMessage.m_dwTimestamp},
                              {"key_id", oMessage.m_sKeyId},
                              {"sender", oMessage.m_sSender},
                              {"receivers", oMessage.m_vecReceivers},
                              {"cc", oMessage.m_vecCc},
                              {"title", oMessage.m_sTitle},
                              {"content", oMessage.m_sContent},
                              {"attachments", oAttachments},
                              {"image_size", oMessage.m_ddwImageSize},
                              {"attempts", oMessage.m_dwAttempts},
                              {"last_error", oMessage.m_sLastError}};
    if (bWithDeliveries) {
        nlohmann::json oDeliveries = nlohmann::json::array();
        for (const SDelivery& oDelivery : oMessage.m_vecDeliveries) {
            oDeliveries.push_back({{"at", IsoTime(oDelivery.m_llAtMs)},
                                   {"outcome", OutcomeName(oDelivery.m_eOutcome)},
                                   {"detail", oDelivery.m_sDetail}});
        }
        oRecord["deliveries"] = oDeliveries;
    }
    return oRecord;
}

nlohmann::json KeyJson(const SKey& oKey) {
    return {{"id", oKey.m_sId},
            {"receivers", oKey.m_vecReceivers},
            {"cc", oKey.m_vecCc},
            {"subject", oKey.m_sSubject},
            {"channels", ChannelsJson(oKey.m_vecChannels)},
            // Keys from the file have no creation time.
            {"created_at", oKey.m_llCreatedAtMs > 0 ? nlohmann::json(IsoTime(oKey.m_llCreatedAtMs))
                                                    : nlohmann::json(nullptr)},
            {"revoked", oKey.m_bRevoked},
            {"source", oKey.m_eSource == KS_CONFIG ? "config" : "api"}};
}

}  // namespace relayd
