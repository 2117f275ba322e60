#include "relayd/delivery/webhook_format.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <nlohmann/json.hpp>

#include "relay_proto/hex.h"
#include "relayd/record/record_json.h"
#include "relayd/record/text_codec.h"

namespace relayd {

std::string WebhookBody(const SMessage& oMessage) {
    nlohmann::json oBody = {
        {"id", oMessage.m_llId},
        {"channel", relay_proto::ChannelName(oMessage.m_eChannel)},
        {"key_id", oMessage.m_sKeyId},
        {"sender", oMessage.m_sSender},
        {"receivers", oMessage.m_vecReceivers},
        {"title", oMessage.m_sTitle},
        {"content", oMessage.m_sContent},
        {"received_at", IsoTime(oMessage.m_llReceivedAtMs)},
    };
    if (oMessage.m_eChannel == relay_proto::CH_LUMO) {
        oBody["image_base64"] = Base64(oMessage.m_sImage);
    }
    return oBody.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string SignatureValue(const std::string& sSecret, const std::string& sBody) {
    unsigned char aMac[EVP_MAX_MD_SIZE];
    unsigned int dwLen = 0;
    HMAC(EVP_sha256(), sSecret.data(), static_cast<int>(sSecret.size()),
         reinterpret_cast<const unsigned char*>(sBody.data()), sBody.size(), aMac, &dwLen);
    return "sha256=" +
           relay_proto::HexEncode(std::string(reinterpret_cast<const char*>(aMac), dwLen));
}

}  // namespace relayd
