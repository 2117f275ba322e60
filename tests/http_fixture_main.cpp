// A relay's HTTP side on a SQLite store, without the channel ports: for the page tests.
//
//   http_fixture --store FILE [--token TOKEN] [--http ADDR:PORT] [--config-key ID]
//
// Prints the base URL ("http://127.0.0.1:PORT") on its first line, then reads one JSON
// command a line from stdin, answering each with one JSON line:
//   {"insert": {"channel": "mail", "title": "...", "content": "...", "receivers": "a;b",
//               "cc": ["c"], "sender": "s", "key_id": "k", "status": "failed",
//               "attachments": [{"name": "n", "data_base64": "..."}], "image_base64": "..."}}
//     -> {"id": N}   (stored, and announced on the event stream like intake does)
//   {"fail": N} -> {"ok": true}   (one failed delivery attempt: the message is failed)
// End of input stops the server and exits 0.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "relayd/config/live_secrets.h"
#include "relayd/http/http_server.h"
#include "relayd/store/keyring.h"
#include "relayd_test_messages.h"

namespace {

std::string Base64Decode(const std::string& sText) {
    std::string sOut(sText.size() / 4 * 3 + 3, '\0');
    const int iLen = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&sOut[0]),
                                     reinterpret_cast<const unsigned char*>(sText.data()),
                                     static_cast<int>(sText.size()));
    if (iLen < 0) {
        return "";
    }
    size_t nPadding = 0;
    for (size_t i = sText.size(); i > 0 && sText[i - 1] == '='; --i) {
        ++nPadding;
    }
    sOut.resize(static_cast<size_t>(iLen) - nPadding);
    return sOut;
}

std::string JoinNames(const nlohmann::json& oNames) {
    if (oNames.is_string()) {
        return oNames.get<std::string>();
    }
    std::string sJoined;
    for (const nlohmann::json& oName : oNames) {
        sJoined += oName.get<std::string>() + ";";
    }
    return sJoined;
}

relayd::SMessage MessageFromJson(const nlohmann::json& oJson) {
    relay_proto::CHANNEL eChannel = relay_proto::CH_SMS;
    relay_proto::ChannelFromName(oJson.value("channel", "sms"), eChannel);
    relayd::SMessage oMessage =
        test_support::TestMessage(eChannel, oJson.value("title", ""), oJson.value("content", ""),
                                  JoinNames(oJson.value("receivers", nlohmann::json("alice"))));
    oMessage.m_sSender = oJson.value("sender", oMessage.m_sSender);
    oMessage.m_sKeyId = oJson.value("key_id", "");
    const std::string sCc = JoinNames(oJson.value("cc", nlohmann::json("")));
    oMessage.m_vecCc = test_support::TestMessage(eChannel, "", "", sCc).m_vecReceivers;
    relayd::StatusFromName(oJson.value("status", "captured"), oMessage.m_eStatus);
    for (const nlohmann::json& oAttachment : oJson.value("attachments", nlohmann::json::array())) {
        test_support::AddAttachment(oMessage, oAttachment.at("name").get<std::string>(),
                                    Base64Decode(oAttachment.value("data_base64", "")));
    }
    if (oJson.contains("image_base64")) {
        test_support::SetImage(oMessage, Base64Decode(oJson["image_base64"].get<std::string>()));
    }
    return oMessage;
}

nlohmann::json RunCommand(const nlohmann::json& oCommand, relayd::IStore& oStore,
                          relayd::CEventBus& oEvents) {
    std::string sErrMsg;
    if (oCommand.contains("insert")) {
        const relayd::SMessage oMessage = MessageFromJson(oCommand["insert"]);
        const int64_t llId = test_support::StoreMessage(oStore, oMessage, sErrMsg);
        if (llId == 0) {
            return {{"error", sErrMsg}};
        }
        oEvents.Publish(relayd::CEventBus::EK_MESSAGE, llId, oMessage.m_eStatus);
        return {{"id", llId}};
    }
    if (oCommand.contains("fail")) {
        const int64_t llId = oCommand["fail"].get<int64_t>();
        relayd::SDelivery oAttempt;
        oAttempt.m_llAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        oAttempt.m_eOutcome = relayd::OC_FAILED;
        oAttempt.m_sDetail = oCommand.value("detail", "550 5.1.1 no such user");
        if (!test_support::RecordAttempt(oStore, llId, oAttempt, relayd::MS_FAILED, 0, sErrMsg)) {
            return {{"error", sErrMsg}};
        }
        oEvents.Publish(relayd::CEventBus::EK_STATUS, llId, relayd::MS_FAILED);
        return {{"ok", true}};
    }
    return {{"error", "unknown command"}};
}

}  // namespace

int main(int argc, char** argv) {
    relayd::SConfig oConfig;
    oConfig.m_sHttp = "127.0.0.1:0";
    std::string sStorePath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string sOption = argv[i];
        if (sOption == "--store") {
            sStorePath = argv[i + 1];
        } else if (sOption == "--token") {
            oConfig.m_sHttpToken = argv[i + 1];
        } else if (sOption == "--http") {
            oConfig.m_sHttp = argv[i + 1];
        } else if (sOption == "--config-key") {
            relayd::SKey oKey;
            oKey.m_sId = argv[i + 1];
            oKey.m_vecReceivers = {"ops"};
            oKey.m_eSource = relayd::KS_CONFIG;
            oConfig.m_vecKeys.push_back(oKey);
        }
    }
    std::string sErrMsg;
    std::unique_ptr<relayd::IStore> pStore = relayd::OpenStore(sStorePath, sErrMsg);
    if (!pStore) {
        fprintf(stderr, "http_fixture: %s\n", sErrMsg.c_str());
        return 2;
    }
    relayd::CMetrics oMetrics;
    relayd::CEventBus oEvents;
    const relayd::CKeyRing oKeys(oConfig.m_vecKeys, pStore.get());
    const relayd::CLiveSecrets oSecrets(oConfig);
    relayd::CHttpServer oServer(
        oConfig, *pStore, oKeys, oSecrets, oMetrics, oEvents, [] {}, [] { return true; });
    if (!oServer.Start(sErrMsg)) {
        fprintf(stderr, "http_fixture: %s\n", sErrMsg.c_str());
        return 2;
    }
    std::string sHost = oConfig.m_sHttp.substr(0, oConfig.m_sHttp.rfind(':'));
    printf("http://%s:%d\n", sHost.c_str(), oServer.Port());
    fflush(stdout);
    std::string sLine;
    while (std::getline(std::cin, sLine)) {
        const nlohmann::json oCommand = nlohmann::json::parse(sLine, nullptr, false);
        const nlohmann::json oAnswer = oCommand.is_object()
                                           ? RunCommand(oCommand, *pStore, oEvents)
                                           : nlohmann::json{{"error", "not a JSON object"}};
        printf("%s\n",
               oAnswer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        fflush(stdout);
    }
    oServer.Stop();
    return 0;
}
