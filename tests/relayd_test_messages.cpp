#include "relayd_test_messages.h"

#include <openssl/sha.h>

#include <atomic>
#include <chrono>

#include "relayd/record/text_rules.h"

namespace test_support {

namespace {

std::string Sha256(const std::string& sData) {
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(sData.data()), sData.size(), aDigest);
    return std::string(reinterpret_cast<const char*>(aDigest), sizeof(aDigest));
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool RecordAttempt(relayd::IStore& oStore, int64_t llId, const relayd::SDelivery& oAttempt,
                   relayd::STATUS eStatus, int64_t llNextAttemptMs, std::string& sErrMsg) {
    relayd::SAttemptRecord oRecord;
    oRecord.m_llId = llId;
    oRecord.m_oAttempt = oAttempt;
    oRecord.m_eStatus = eStatus;
    oRecord.m_llNextAttemptMs = llNextAttemptMs;
    return oStore.RecordAttempts({oRecord}, sErrMsg);
}

std::string Sha256Hex(const std::string& sData) {
    static const char kHex[] = "0123456789abcdef";
    std::string sHex;
    for (unsigned char c : Sha256(sData)) {
        sHex += kHex[c >> 4];
        sHex += kHex[c & 0x0f];
    }
    return sHex;
}

relayd::SMessage TestMessage(relay_proto::CHANNEL eChannel, const std::string& sTitle,
                             const std::string& sContent, const std::string& sReceivers) {
    relayd::SMessage oMessage;
    oMessage.m_eChannel = eChannel;
    oMessage.m_eStatus = relayd::MS_CAPTURED;
    oMessage.m_llReceivedAtMs = NowMs();
    oMessage.m_sPeer = "127.0.0.1:40000";
    oMessage.m_dwTimestamp = static_cast<uint32_t>(oMessage.m_llReceivedAtMs / 1000);
    oMessage.m_sSender = "qem_sender";
    oMessage.m_vecReceivers = relayd::SplitNameList(sReceivers);
    oMessage.m_sTitle = sTitle;
    oMessage.m_sContent = sContent;
    return oMessage;
}

void AddAttachment(relayd::SMessage& oMessage, const std::string& sName, const std::string& sData) {
    relayd::SAttachment oAttachment;
    oAttachment.m_dwIndex = static_cast<uint32_t>(oMessage.m_vecAttachments.size());
    oAttachment.m_sName = sName;
    oAttachment.m_ddwSize = sData.size();
    oAttachment.m_sSha256Hex = Sha256Hex(sData);
    oAttachment.m_sData = sData;
    oMessage.m_vecAttachments.push_back(oAttachment);
}

void SetImage(relayd::SMessage& oMessage, const std::string& sData) {
    oMessage.m_sImage = sData;
    oMessage.m_ddwImageSize = sData.size();
}

int64_t StoreMessage(relayd::IStore& oStore, relayd::SMessage oMessage, std::string& sErrMsg) {
    static std::atomic<uint64_t> s_ddwCounter{0};
    oMessage.m_sPackageHash = Sha256(std::to_string(NowMs()) + "/" +
                                     std::to_string(++s_ddwCounter) + "/" + oMessage.m_sContent);
    std::vector<relayd::SMessage> vecBatch = {oMessage};
    std::vector<relayd::SInsertOutcome> vecOutcomes;
    if (!oStore.InsertBatch(vecBatch, 0, vecOutcomes, sErrMsg)) {
        return 0;
    }
    return vecBatch[0].m_llId;
}

std::string TinyPng() {
    static const unsigned char kPng[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
        0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99,
        0x3d, 0x1d, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    return std::string(reinterpret_cast<const char*>(kPng), sizeof(kPng));
}

}  // namespace test_support
