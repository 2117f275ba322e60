#include "relayd/config/config_secrets.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "relayd/record/redact.h"

namespace relayd {

namespace {

// Longer than any token or password; a file beyond it is not a secret file.
const size_t kMaxSecretBytes = 4096;

bool ReadFirstLine(const std::string& sPath, std::string& sLine, std::string& sWhy) {
    std::ifstream oIn(sPath, std::ios::binary);
    if (!oIn) {
        sWhy = "cannot read " + sPath + ": " + strerror(errno);
        return false;
    }
    std::string sText(kMaxSecretBytes + 1, '\0');
    oIn.read(&sText[0], static_cast<std::streamsize>(sText.size()));
    sText.resize(static_cast<size_t>(oIn.gcount()));
    sLine = sText.substr(0, sText.find('\n'));
    if (!sLine.empty() && sLine.back() == '\r') {
        sLine.pop_back();
    }
    if (sLine.size() > kMaxSecretBytes) {
        sWhy =
            sPath + ": the first line is longer than " + std::to_string(kMaxSecretBytes) + " bytes";
        return false;
    }
    if (sLine.empty()) {
        sWhy = sPath + ": the first line is empty";
        return false;
    }
    return true;
}

// sSecret from sFile, when sFile is set; sSecret itself must then be empty.
bool FromFile(const std::string& sName, const std::string& sFile, std::string& sSecret,
              std::string& sErrMsg) {
    if (sFile.empty()) {
        return true;
    }
    std::string sWhy;
    if (!sSecret.empty()) {
        sErrMsg = sName + "_file: the secret is also given in the configuration; give it one way";
        return false;
    }
    if (!ReadFirstLine(sFile, sSecret, sWhy)) {
        sErrMsg = sName + "_file: " + sWhy;
        return false;
    }
    return true;
}

bool UrlHasPassword(const std::string& sUrl) {
    return Redacted(sUrl) != sUrl;
}

}  // namespace

bool LoadSecretFiles(SConfig& oConfig, std::string& sErrMsg) {
    auto& oMail = oConfig.m_oMail;
    if (!oMail.m_sPasswordFile.empty() && UrlHasPassword(oMail.m_sSmtp)) {
        sErrMsg = "mail.password_file: the SMTP URL holds a password too; give it one way";
        return false;
    }
    if (!FromFile("http_token", oConfig.m_sHttpTokenFile, oConfig.m_sHttpToken, sErrMsg) ||
        !FromFile("mail.password", oMail.m_sPasswordFile, oMail.m_sPassword, sErrMsg)) {
        return false;
    }
    for (int i = 0; i < relay_proto::CHANNEL_COUNT; ++i) {
        const relay_proto::CHANNEL eChannel = static_cast<relay_proto::CHANNEL>(i);
        SWebhook& oHook = oConfig.m_aWebhooks[i];
        if (eChannel != relay_proto::CH_MAIL &&
            !FromFile(std::string(relay_proto::ChannelName(eChannel)) + ".secret",
                      oHook.m_sSecretFile, oHook.m_sSecret, sErrMsg)) {
            return false;
        }
    }
    return true;
}

bool HoldsSecret(const SConfig& oConfig) {
    if (!oConfig.m_sHttpToken.empty() || UrlHasPassword(oConfig.m_sStore) ||
        UrlHasPassword(oConfig.m_oMail.m_sSmtp)) {
        return true;
    }
    for (const SWebhook& oHook : oConfig.m_aWebhooks) {
        if (!oHook.m_sSecret.empty() || UrlHasPassword(oHook.m_sUrl)) {
            return true;
        }
    }
    return false;
}

std::string ReadableSecretWarning(const std::string& sPath, const SConfig& oConfig) {
    struct stat oStat;
    if (sPath.empty() || stat(sPath.c_str(), &oStat) != 0 || (oStat.st_mode & S_IROTH) == 0 ||
        !HoldsSecret(oConfig)) {
        return "";
    }
    return sPath +
           " holds a secret and every user may read it: make it readable by the relay only "
           "(chmod o-r), or move the secret into a *_file setting";
}

}  // namespace relayd
