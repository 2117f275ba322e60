// Addresses in the configuration: client networks in CIDR form, IP literals, and the
// "ADDR:PORT" of the HTTP side; and the check of a client's address against the networks.
//
//   "127.0.0.0/8"   -> IPv4 127.0.0.0, prefix 8
//   "::1"           -> IPv6 ::1, prefix 128 (a bare address is a single host)
//   "10.1.2.3/8"    -> refused: bits set past the prefix (most often a typo; the message
//                      names the network that was probably meant, 10.0.0.0/8)
//   "[::1]:12464"   -> host ::1, port 12464;  "127.0.0.1:8080" -> host 127.0.0.1, port 8080
//
// A client connecting over IPv6 with an IPv4-mapped address (::ffff:127.0.0.1) is the
// IPv4 client 127.0.0.1 and matches IPv4 networks; an IPv4 client also matches IPv6
// networks written in the mapped form (::ffff:127.0.0.0/104).
#ifndef RELAYD_CONFIG_NETWORK_H
#define RELAYD_CONFIG_NETWORK_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "relayd/config/config.h"

namespace relayd {

// sText ("ADDR/PREFIX" or a bare ADDR) into oNet; false with the reason in sErrMsg.
bool ParseNetwork(const std::string& sText, SNetwork& oNet, std::string& sErrMsg);

// The network as text, "127.0.0.0/8".
std::string FormatNetwork(const SNetwork& oNet);

// True when the socket address pAddr (AF_INET or AF_INET6) lies in one of vecNetworks.
// Any other family, and a null pointer, is not allowed.
bool PeerAllowed(const std::vector<SNetwork>& vecNetworks, const sockaddr* pAddr);

// True when sText is an IPv4 or IPv6 address literal (no brackets, no zone, no port);
// bIpv6 tells which.
bool ParseIpLiteral(const std::string& sText, bool& bIpv6);

// True for 127.0.0.0/8, ::1 and the IPv4-mapped 127.0.0.0/8; sIp must be an IP literal.
bool IsLoopbackAddress(const std::string& sIp);

struct SHostPort {
    std::string m_sHost;  // the address literal, without brackets
    bool m_bIpv6 = false;
    uint16_t m_wPort = 0;
};

// "127.0.0.1:12464" or "[::1]:12464" (IPv6 in brackets) into oHostPort; the port from
// wMinPort to 65535 (the configuration takes 1, a server binding "any free port" 0). False
// with the reason in sErrMsg.
bool ParseHostPort(const std::string& sText, uint16_t wMinPort, SHostPort& oHostPort,
                   std::string& sErrMsg);

}  // namespace relayd

#endif  // RELAYD_CONFIG_NETWORK_H
