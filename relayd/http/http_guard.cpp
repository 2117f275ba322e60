#include "relayd/http/http_guard.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstring>

namespace relayd {

namespace {

bool IsIpLiteral(const std::string& sHost) {
    unsigned char aAddr[16];
    return inet_pton(AF_INET, sHost.c_str(), aAddr) == 1 ||
           inet_pton(AF_INET6, sHost.c_str(), aAddr) == 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Trim(const std::string& sText) {
    size_t nStart = 0;
    size_t nEnd = sText.size();
    while (nStart < nEnd && (sText[nStart] == ' ' || sText[nStart] == '\t')) {
        ++nStart;
    }
    while (nEnd > nStart && (sText[nEnd - 1] == ' ' || sText[nEnd - 1] == '\t')) {
        --nEnd;
    }
    return sText.substr(nStart, nEnd - nStart);
}

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
    const std::string sValue = Trim(sAuthorization);
    static const char kScheme[] = "bearer ";
    const size_t nSchemeLen = sizeof(kScheme) - 1;
    if (sValue.size() <= nSchemeLen || strncasecmp(sValue.c_str(), kScheme, nSchemeLen) != 0) {
        return false;
    }
    sToken = Trim(sValue.substr(nSchemeLen));
    return !sToken.empty();
}

bool CookieValue(const std::string& sCookieHeader, const std::string& sName, std::string& sValue) {
    size_t nStart = 0;
    while (nStart < sCookieHeader.size()) {
        size_t nEnd = sCookieHeader.find(';', nStart);
        if (nEnd == std::string::npos) {
            nEnd = sCookieHeader.size();
        }
        const std::string sPair = Trim(sCookieHeader.substr(nStart, nEnd - nStart));
        const size_t nEq = sPair.find('=');
        if (nEq != std::string::npos && sPair.compare(0, nEq, sName) == 0 && nEq == sName.size()) {
            sValue = sPair.substr(nEq + 1);
            return true;
        }
        nStart = nEnd + 1;
    }
    return false;
}

bool HexDecode(const std::string& sHex, std::string& sBytes) {
    if (sHex.size() % 2 != 0) {
        return false;
    }
    sBytes.clear();
    for (size_t i = 0; i < sHex.size(); i += 2) {
        const int iHigh = HexValue(sHex[i]);
        const int iLow = HexValue(sHex[i + 1]);
        if (iHigh < 0 || iLow < 0) {
            return false;
        }
        sBytes += static_cast<char>(iHigh * 16 + iLow);
    }
    return true;
}

bool SplitHostPort(const std::string& sAddress, std::string& sHost, int& iPort,
                   std::string& sErrMsg) {
    size_t nColon = std::string::npos;
    if (!sAddress.empty() && sAddress[0] == '[') {
        const size_t nClose = sAddress.find(']');
        if (nClose == std::string::npos || nClose + 1 >= sAddress.size() ||
            sAddress[nClose + 1] != ':') {
            sErrMsg = "\"" + sAddress + "\" is not [IPV6]:PORT";
            return false;
        }
        sHost = sAddress.substr(1, nClose - 1);
        nColon = nClose + 1;
    } else {
        nColon = sAddress.rfind(':');
        if (nColon == std::string::npos || sAddress.find(':') != nColon) {
            sErrMsg =
                "\"" + sAddress + "\" is not ADDR:PORT (write an IPv6 address as [ADDR]:PORT)";
            return false;
        }
        sHost = sAddress.substr(0, nColon);
    }
    const std::string sPort = sAddress.substr(nColon + 1);
    iPort = 0;
    bool bDigits = !sPort.empty() && sPort.size() <= 5;
    for (char c : sPort) {
        bDigits = bDigits && isdigit(static_cast<unsigned char>(c));
        iPort = iPort * 10 + (c - '0');
    }
    if (sHost.empty() || !bDigits || iPort > 65535) {
        sErrMsg = "\"" + sAddress + "\" is not ADDR:PORT with a port from 0 to 65535";
        return false;
    }
    return true;
}

bool IsLoopbackHost(const std::string& sHost) {
    if (strcasecmp(sHost.c_str(), "localhost") == 0) {
        return true;
    }
    unsigned char aAddr[16];
    if (inet_pton(AF_INET, sHost.c_str(), aAddr) == 1) {
        return aAddr[0] == 127;
    }
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return inet_pton(AF_INET6, sHost.c_str(), aAddr) == 1 && memcmp(aAddr, kLoopback6, 16) == 0;
}

bool HostHeaderAllowed(const std::string& sHostHeader) {
    const std::string sHost = HostOfHeader(sHostHeader);
    return strcasecmp(sHost.c_str(), "localhost") == 0 || IsIpLiteral(sHost);
}

bool OriginMatchesHost(const std::string& sOrigin, const std::string& sHostHeader) {
    // https: the relay behind a TLS-terminating proxy that keeps the Host header.
    return !sHostHeader.empty() &&
           (strcasecmp(sOrigin.c_str(), ("http://" + sHostHeader).c_str()) == 0 ||
            strcasecmp(sOrigin.c_str(), ("https://" + sHostHeader).c_str()) == 0);
}

}  // namespace relayd
