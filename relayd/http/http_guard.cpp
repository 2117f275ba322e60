#include "relayd/http/http_guard.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <strings.h>

#include <cstring>

#include "relayd/config/network.h"
#include "relayd/record/text_rules.h"

namespace relayd {

namespace {

// The host part of a Host header: "[::1]:80" -> "::1", "a:80" -> "a", "a" -> "a".
std::string HostOfHeader(const std::string& sHostHeader) {
    if (!sHostHeader.empty() && sHostHeader[0] == '[') {
        const size_t nClose = sHostHeader.find(']');
        return nClose == std::string::npos ? "" : sHostHeader.substr(1, nClose - 1);
    }
    return sHostHeader.substr(0, sHostHeader.find(':'));
}

}  // namespace

bool TokensEqual(const std::string& sGiven, const std::string& sExpected) {
    unsigned char aGiven[SHA256_DIGEST_LENGTH];
    unsigned char aExpected[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(sGiven.data()), sGiven.size(), aGiven);
    SHA256(reinterpret_cast<const unsigned char*>(sExpected.data()), sExpected.size(), aExpected);
    return CRYPTO_memcmp(aGiven, aExpected, SHA256_DIGEST_LENGTH) == 0;
}

bool BearerToken(const std::string& sAuthorization, std::string& sToken) {
    const std::string sValue = TrimBlanks(sAuthorization);
    static const char kScheme[] = "bearer ";
    const size_t nSchemeLen = sizeof(kScheme) - 1;
    if (sValue.size() <= nSchemeLen || strncasecmp(sValue.c_str(), kScheme, nSchemeLen) != 0) {
        return false;
    }
    sToken = TrimBlanks(sValue.substr(nSchemeLen));
    return !sToken.empty();
}

bool CookieValue(const std::string& sCookieHeader, const std::string& sName, std::string& sValue) {
    size_t nStart = 0;
    while (nStart < sCookieHeader.size()) {
        size_t nEnd = sCookieHeader.find(';', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sCookieHeader.size();
        }
        const std::string sPair = TrimBlanks(sCookieHeader.substr(nStart, nEnd - nStart));
        const size_t nEq = sPair.find('=');
        if (nEq != std::string::npos && sPair.compare(0, nEq, sName) == 0 && nEq == sName.size()) {
            sValue = sPair.substr(nEq + 1);
            return true;
        }
        nStart = nEnd + 1;
    }
    return false;
}

bool HostHeaderAllowed(const std::string& sHostHeader) {
    const std::string sHost = HostOfHeader(sHostHeader);
    bool bIpv6 = false;
    return strcasecmp(sHost.c_str(), "localhost") == 0 || ParseIpLiteral(sHost, bIpv6);
}

bool OriginMatchesHost(const std::string& sOrigin, const std::string& sHostHeader) {
    // https: the relay behind a TLS-terminating proxy that keeps the Host header.
    return !sHostHeader.empty() &&
           (strcasecmp(sOrigin.c_str(), ("http://" + sHostHeader).c_str()) == 0 ||
            strcasecmp(sOrigin.c_str(), ("https://" + sHostHeader).c_str()) == 0);
}

}  // namespace relayd
