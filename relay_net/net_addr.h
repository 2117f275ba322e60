// Socket addresses as the relay programs read and print them: IPv4 and IPv6 literals,
// "127.0.0.1:12460" and "[::1]:12460".
#ifndef RELAY_NET_NET_ADDR_H
#define RELAY_NET_NET_ADDR_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace relay_net {

// The IPv4 or IPv6 literal sHost with wPort in oAddr, its size in nLen. False when
// sHost is neither ("localhost" is not a literal).
bool ParseAddress(const std::string& sHost, uint16_t wPort, sockaddr_storage& oAddr,
                  socklen_t& nLen);

// "127.0.0.1:53422" for IPv4, "[::1]:53422" for IPv6, "?" for any other family.
std::string AddressText(const sockaddr_storage& oAddr);

// The local address of the socket iFd as AddressText writes it; "?" when it cannot be read.
std::string LocalAddressText(int iFd);

// The host part of oAddr as raw bytes, the port left out: the same for every connection
// from one address, so it can key a count per address.
std::string HostKey(const sockaddr_storage& oAddr);

// sHost and wPort as AddressText writes them: brackets around an IPv6 literal.
std::string HostPortText(const std::string& sHost, uint16_t wPort);

// "what: system text" for the errno value iErrno.
std::string SysError(const std::string& sWhat, int iErrno);

}  // namespace relay_net

#endif  // RELAY_NET_NET_ADDR_H
