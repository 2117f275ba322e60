#include "relayd/config/network.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace relayd {

namespace {

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// Decimal digits only, at most nMaxDigits of them, into dwValue.
bool ParseDecimal(const std::string& sText, size_t nMaxDigits, uint32_t& dwValue) {
    const char* pEnd = sText.data() + sText.size();
    const std::from_chars_result oResult = std::from_chars(sText.data(), pEnd, dwValue);
    return !sText.empty() && sText.size() <= nMaxDigits && oResult.ec == std::errc() &&
           oResult.ptr == pEnd;
}

// sText as an address into the first 4 (IPv4) or 16 (IPv6) bytes of aAddr.
bool ParseAddress(const std::string& sText, uint8_t (&aAddr)[16], bool& bIpv6) {
    memset(aAddr, 0, sizeof(aAddr));
    if (inet_pton(AF_INET, sText.c_str(), aAddr) == 1) {
        bIpv6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, sText.c_str(), aAddr) == 1) {
        bIpv6 = true;
        return true;
    }
    return false;
}

// The bits of byte nByte that lie within the first nPrefixLen bits of an address.
uint8_t PrefixMask(unsigned nByte, unsigned nPrefixLen) {
    const int iKeep =
        std::min(8, std::max(0, static_cast<int>(nPrefixLen) - static_cast<int>(nByte * 8)));
    return static_cast<uint8_t>(0xFF00 >> iKeep);
}

// True when the first nPrefixLen bits of the two nBytes-byte addresses agree.
bool PrefixMatches(const uint8_t* pAddr, const uint8_t* pNet, unsigned nBytes,
                   unsigned nPrefixLen) {
    for (unsigned i = 0; i < nBytes; ++i) {
        if (((pAddr[i] ^ pNet[i]) & PrefixMask(i, nPrefixLen)) != 0) {
            return false;
        }
    }
    return true;
}

// Clears every bit past nPrefixLen; true when one was set.
bool ClearHostBits(uint8_t* pAddr, unsigned nBytes, unsigned nPrefixLen) {
    bool bHadHostBits = false;
    for (unsigned i = 0; i < nBytes; ++i) {
        const uint8_t cMask = PrefixMask(i, nPrefixLen);
        bHadHostBits = bHadHostBits || (pAddr[i] & ~cMask) != 0;
        pAddr[i] &= cMask;
    }
    return bHadHostBits;
}

}  // namespace

bool ParseNetwork(const std::string& sText, SNetwork& oNet, std::string& sErrMsg) {
    const size_t nSlash = sText.find('/');
    const std::string sAddr = sText.substr(0, nSlash);
    SNetwork oParsed;
    if (!ParseAddress(sAddr, oParsed.m_aAddr, oParsed.m_bIpv6)) {
        sErrMsg = "'" + sText + "' is not a network: '" + sAddr + "' is no IPv4 or IPv6 address";
        return false;
    }
    const unsigned nMaxPrefix = oParsed.m_bIpv6 ? 128 : 32;
    uint32_t dwPrefix = nMaxPrefix;
    if (nSlash != std::string::npos &&
        (!ParseDecimal(sText.substr(nSlash + 1), 3, dwPrefix) || dwPrefix > nMaxPrefix)) {
        sErrMsg = "'" + sText +
                  "' is not a network: the prefix length must be a number from 0 to " +
                  std::to_string(nMaxPrefix);
        return false;
    }
    oParsed.m_cPrefixLen = static_cast<uint8_t>(dwPrefix);
    if (ClearHostBits(oParsed.m_aAddr, nMaxPrefix / 8, dwPrefix)) {
        sErrMsg = "'" + sText + "' has bits set past its prefix length; the network is " +
                  FormatNetwork(oParsed);
        return false;
    }
    oNet = oParsed;
    return true;
}

std::string FormatNetwork(const SNetwork& oNet) {
    char szAddr[INET6_ADDRSTRLEN] = {};
    inet_ntop(oNet.m_bIpv6 ? AF_INET6 : AF_INET, oNet.m_aAddr, szAddr, sizeof(szAddr));
    return std::string(szAddr) + "/" + std::to_string(oNet.m_cPrefixLen);
}

bool PeerAllowed(const std::vector<SNetwork>& vecNetworks, const sockaddr* pAddr) {
    if (pAddr == nullptr) {
        return false;
    }
    // The peer in both forms: 16 bytes of IPv6 (an IPv4 peer mapped), and 4 bytes of IPv4
    // when it is an IPv4 peer or an IPv4-mapped IPv6 one.
    uint8_t aV6[16] = {};
    bool bHasV4 = false;
    if (pAddr->sa_family == AF_INET) {
        const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(pAddr);
        memcpy(aV6, kMappedPrefix, sizeof(kMappedPrefix));
        memcpy(aV6 + 12, &pIn->sin_addr, 4);
        bHasV4 = true;
    } else if (pAddr->sa_family == AF_INET6) {
        const sockaddr_in6* pIn6 = reinterpret_cast<const sockaddr_in6*>(pAddr);
        memcpy(aV6, &pIn6->sin6_addr, 16);
        bHasV4 = memcmp(aV6, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
    } else {
        return false;
    }
    for (const SNetwork& oNet : vecNetworks) {
        if (oNet.m_bIpv6 ? PrefixMatches(aV6, oNet.m_aAddr, 16, oNet.m_cPrefixLen)
                         : bHasV4 && PrefixMatches(aV6 + 12, oNet.m_aAddr, 4, oNet.m_cPrefixLen)) {
            return true;
        }
    }
    return false;
}

bool ParseIpLiteral(const std::string& sText, bool& bIpv6) {
    uint8_t aAddr[16];
    return ParseAddress(sText, aAddr, bIpv6);
}

bool IsLoopbackAddress(const std::string& sIp) {
    uint8_t aAddr[16];
    bool bIpv6 = false;
    if (!ParseAddress(sIp, aAddr, bIpv6)) {
        return false;
    }
    if (!bIpv6) {
        return aAddr[0] == 127;
    }
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(aAddr, kLoopback6, 16) == 0 ||
           (memcmp(aAddr, kMappedPrefix, sizeof(kMappedPrefix)) == 0 && aAddr[12] == 127);
}

bool ParseHostPort(const std::string& sText, uint16_t wMinPort, SHostPort& oHostPort,
                   std::string& sErrMsg) {
    const size_t nColon = sText.rfind(':');
    const std::string sHint =
        "'" + sText + "' is not ADDR:PORT (an IPv6 address in brackets, [::1]:12464)";
    if (nColon == std::string::npos) {
        sErrMsg = sHint;
        return false;
    }
    std::string sHost = sText.substr(0, nColon);
    const bool bBracketed = sHost.size() >= 2 && sHost.front() == '[' && sHost.back() == ']';
    if (bBracketed) {
        sHost = sHost.substr(1, sHost.size() - 2);
    }
    SHostPort oParsed;
    uint32_t dwPort = 0;
    if (!ParseIpLiteral(sHost, oParsed.m_bIpv6) || oParsed.m_bIpv6 != bBracketed ||
        !ParseDecimal(sText.substr(nColon + 1), 5, dwPort)) {
        sErrMsg = sHint;
        return false;
    }
    if (dwPort < wMinPort || dwPort > 65535) {
        sErrMsg = "'" + sText + "': the port must be a number from " + std::to_string(wMinPort) +
                  " to 65535";
        return false;
    }
    oParsed.m_sHost = sHost;
    oParsed.m_wPort = static_cast<uint16_t>(dwPort);
    oHostPort = oParsed;
    return true;
}

}  // namespace relayd
