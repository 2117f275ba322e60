#include "relay_net/net_addr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "dev_tools/utils.h"

namespace relay_net {

bool ParseAddress(const std::string& sHost, uint16_t wPort, sockaddr_storage& oAddr,
                  socklen_t& nLen) {
    oAddr = sockaddr_storage();
    sockaddr_in* pV4 = reinterpret_cast<sockaddr_in*>(&oAddr);
    if (inet_pton(AF_INET, sHost.c_str(), &pV4->sin_addr) == 1) {
        pV4->sin_family = AF_INET;
        pV4->sin_port = htons(wPort);
        nLen = sizeof(sockaddr_in);
        return true;
    }
    sockaddr_in6* pV6 = reinterpret_cast<sockaddr_in6*>(&oAddr);
    if (inet_pton(AF_INET6, sHost.c_str(), &pV6->sin6_addr) == 1) {
        pV6->sin6_family = AF_INET6;
        pV6->sin6_port = htons(wPort);
        nLen = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

std::string AddressText(const sockaddr_storage& oAddr) {
    char szIp[INET6_ADDRSTRLEN] = "";
    if (oAddr.ss_family == AF_INET) {
        const sockaddr_in& oV4 = reinterpret_cast<const sockaddr_in&>(oAddr);
        inet_ntop(AF_INET, &oV4.sin_addr, szIp, sizeof(szIp));
        return HostPortText(szIp, ntohs(oV4.sin_port));
    }
    if (oAddr.ss_family == AF_INET6) {
        const sockaddr_in6& oV6 = reinterpret_cast<const sockaddr_in6&>(oAddr);
        inet_ntop(AF_INET6, &oV6.sin6_addr, szIp, sizeof(szIp));
        return HostPortText(szIp, ntohs(oV6.sin6_port));
    }
    return "?";
}

std::string LocalAddressText(int iFd) {
    sockaddr_storage oLocal = {};
    socklen_t nLen = sizeof(oLocal);
    if (getsockname(iFd, reinterpret_cast<sockaddr*>(&oLocal), &nLen) != 0) {
        return "?";
    }
    return AddressText(oLocal);
}

std::string HostKey(const sockaddr_storage& oAddr) {
    if (oAddr.ss_family == AF_INET) {
        const sockaddr_in& oV4 = reinterpret_cast<const sockaddr_in&>(oAddr);
        return std::string(reinterpret_cast<const char*>(&oV4.sin_addr), sizeof(oV4.sin_addr));
    }
    if (oAddr.ss_family == AF_INET6) {
        const sockaddr_in6& oV6 = reinterpret_cast<const sockaddr_in6&>(oAddr);
        return std::string(reinterpret_cast<const char*>(&oV6.sin6_addr), sizeof(oV6.sin6_addr));
    }
    return "";
}

std::string HostPortText(const std::string& sHost, uint16_t wPort) {
    if (sHost.find(':') != std::string::npos) {
        return "[" + sHost + "]:" + to_str(wPort);
    }
    return sHost + ":" + to_str(wPort);
}

std::string SysError(const std::string& sWhat, int iErrno) {
    return sWhat + ": " + strerror(iErrno);
}

}  // namespace relay_net
