// Addresses of the relay's configuration (relayd/config/network): networks, IP literals
// and ADDR:PORT, and the check of a client's address against the allowed networks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "relayd/config/network.h"

namespace {

using relayd::SNetwork;

TEST(RelaydNetwork, ParsesCidrAndRefusesHostBits) {
    struct SRow {
        const char* m_szText;
        const char* m_szFormatted;  // nullptr: refused
        const char* m_szError;      // a fragment of the refusal
    } const kRows[] = {
        {"127.0.0.0/8", "127.0.0.0/8", ""},
        {"::1/128", "::1/128", ""},
        {"10.0.0.1", "10.0.0.1/32", ""},
        {"::1", "::1/128", ""},
        {"0.0.0.0/0", "0.0.0.0/0", ""},
        {"::/0", "::/0", ""},
        {"192.168.0.0/16", "192.168.0.0/16", ""},
        {"fe80::/10", "fe80::/10", ""},
        {"::ffff:127.0.0.0/104", "::ffff:127.0.0.0/104", ""},
        {"10.1.2.3/8", nullptr, "the network is 10.0.0.0/8"},
        {"192.168.1.129/25", nullptr, "the network is 192.168.1.128/25"},
        {"fe80::1/64", nullptr, "the network is fe80::/64"},
        {"10.0.0.0/33", nullptr, "from 0 to 32"},
        {"::/129", nullptr, "from 0 to 128"},
        {"10.0.0.0/", nullptr, "prefix length"},
        {"10.0.0.0/+8", nullptr, "prefix length"},
        {"10.0.0.0/8/8", nullptr, "prefix length"},
        {"10.0.0.0 /8", nullptr, "no IPv4 or IPv6 address"},
        {"10.0.0/8", nullptr, "no IPv4 or IPv6 address"},
        {"localhost", nullptr, "no IPv4 or IPv6 address"},
        {"[::1]/128", nullptr, "no IPv4 or IPv6 address"},
        {"fe80::1%eth0", nullptr, "no IPv4 or IPv6 address"},
        {"", nullptr, "no IPv4 or IPv6 address"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        SNetwork oNet;
        std::string sErrMsg;
        const bool bOk = relayd::ParseNetwork(kRows[i].m_szText, oNet, sErrMsg);
        const std::string sRow = "row " + std::to_string(i) + " '" + kRows[i].m_szText + "'";
        ASSERT_EQ(bOk, kRows[i].m_szFormatted != nullptr) << sRow << ": " << sErrMsg;
        if (bOk) {
            EXPECT_EQ(relayd::FormatNetwork(oNet), kRows[i].m_szFormatted) << sRow;
        } else {
            EXPECT_NE(sErrMsg.find(kRows[i].m_szError), std::string::npos)
                << sRow << ": " << sErrMsg;
        }
    }
}

// A socket address for sIp (IPv4 or IPv6).
sockaddr_storage SockAddr(const std::string& sIp) {
    sockaddr_storage oAddr = {};
    sockaddr_in* pIn = reinterpret_cast<sockaddr_in*>(&oAddr);
    sockaddr_in6* pIn6 = reinterpret_cast<sockaddr_in6*>(&oAddr);
    if (inet_pton(AF_INET, sIp.c_str(), &pIn->sin_addr) == 1) {
        pIn->sin_family = AF_INET;
        pIn->sin_port = htons(5000);
    } else if (inet_pton(AF_INET6, sIp.c_str(), &pIn6->sin6_addr) == 1) {
        pIn6->sin6_family = AF_INET6;
        pIn6->sin6_port = htons(5000);
    } else {
        ADD_FAILURE() << "bad test address " << sIp;
    }
    return oAddr;
}

std::vector<SNetwork> Networks(const std::vector<std::string>& vecTexts) {
    std::vector<SNetwork> vecNets;
    for (const std::string& sText : vecTexts) {
        SNetwork oNet;
        std::string sErrMsg;
        EXPECT_TRUE(relayd::ParseNetwork(sText, oNet, sErrMsg)) << sText << ": " << sErrMsg;
        vecNets.push_back(oNet);
    }
    return vecNets;
}

TEST(RelaydNetwork, PeerAllowedMatchesV4V6AndMappedPeers) {
    const std::vector<std::string> kDefault = {"127.0.0.0/8", "::1/128"};
    struct SRow {
        std::vector<std::string> m_vecNets;
        const char* m_szPeer;
        bool m_bAllowed;
    } const kRows[] = {
        {kDefault, "127.0.0.1", true},
        {kDefault, "127.255.255.254", true},
        {kDefault, "128.0.0.1", false},
        {kDefault, "126.255.255.255", false},
        {kDefault, "::1", true},
        {kDefault, "::2", false},
        {kDefault, "::ffff:127.0.0.1", true},  // mapped peer, IPv4 network
        {kDefault, "::ffff:10.0.0.1", false},
        {kDefault, "::7f00:1", false},  // IPv4-compatible form is not mapped
        {{"10.0.0.0/8"}, "10.200.3.4", true},
        {{"192.168.1.128/25"}, "192.168.1.127", false},
        {{"192.168.1.128/25"}, "192.168.1.128", true},
        {{"192.168.1.128/25"}, "192.168.1.255", true},
        {{"10.1.2.3"}, "10.1.2.3", true},
        {{"10.1.2.3"}, "10.1.2.4", false},
        {{"0.0.0.0/0"}, "203.0.113.9", true},
        {{"0.0.0.0/0"}, "::ffff:203.0.113.9", true},
        {{"0.0.0.0/0"}, "2001:db8::1", false},  // IPv4 networks never match IPv6 peers
        {{"::/0"}, "2001:db8::1", true},
        {{"::/0"}, "127.0.0.1", true},  // every peer, as its mapped form
        {{"::ffff:127.0.0.0/104"}, "127.0.0.9", true},
        {{"::ffff:127.0.0.0/104"}, "128.0.0.9", false},
        {{"2001:db8::/33"}, "2001:db8:7fff::1", true},
        {{"2001:db8::/33"}, "2001:db8:8000::1", false},
        {{}, "127.0.0.1", false},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const sockaddr_storage oAddr = SockAddr(kRows[i].m_szPeer);
        EXPECT_EQ(relayd::PeerAllowed(Networks(kRows[i].m_vecNets),
                                      reinterpret_cast<const sockaddr*>(&oAddr)),
                  kRows[i].m_bAllowed)
            << "row " << i << " peer " << kRows[i].m_szPeer;
    }
}

TEST(RelaydNetwork, PeerAllowedRefusesOtherFamiliesAndNull) {
    const std::vector<SNetwork> vecAll = Networks({"0.0.0.0/0", "::/0"});
    sockaddr_storage oUnix = {};
    oUnix.ss_family = AF_UNIX;
    EXPECT_FALSE(relayd::PeerAllowed(vecAll, reinterpret_cast<const sockaddr*>(&oUnix)));
    EXPECT_FALSE(relayd::PeerAllowed(vecAll, nullptr));
}

TEST(RelaydNetwork, HostPortAndLoopback) {
    struct SRow {
        const char* m_szText;
        uint16_t m_wMinPort;
        bool m_bOk;
        const char* m_szHost;
        uint16_t m_wPort;
        bool m_bLoopback;
    } const kRows[] = {
        {"127.0.0.1:12464", 1, true, "127.0.0.1", 12464, true},
        {"127.9.9.9:1", 1, true, "127.9.9.9", 1, true},
        {"[::1]:65535", 1, true, "::1", 65535, true},
        {"[::ffff:127.0.0.1]:80", 1, true, "::ffff:127.0.0.1", 80, true},
        {"[::ffff:127.0.0.1]:0", 0, true, "::ffff:127.0.0.1", 0, true},
        {"0.0.0.0:80", 1, true, "0.0.0.0", 80, false},
        {"[::]:80", 1, true, "::", 80, false},
        {"192.0.2.1:8080", 1, true, "192.0.2.1", 8080, false},
        {"128.0.0.1:1", 1, true, "128.0.0.1", 1, false},
        {"[::ffff:10.0.0.1]:80", 1, true, "::ffff:10.0.0.1", 80, false},
        {"127.0.0.1:0", 0, true, "127.0.0.1", 0, true},  // a server picking a free port
        {"::1:8080", 0, false, "", 0, false},            // IPv6 needs its brackets
        {"[127.0.0.1]:80", 0, false, "", 0, false},      // IPv4 takes none
        {"[::1]8080", 0, false, "", 0, false},
        {"localhost:80", 0, false, "", 0, false},
        {"127.0.0.1", 0, false, "", 0, false},
        {"127.0.0.1:", 0, false, "", 0, false},
        {"127.0.0.1:0", 1, false, "", 0, false},
        {"127.0.0.1:65536", 0, false, "", 0, false},
        {"127.0.0.1:123456", 0, false, "", 0, false},
        {"127.0.0.1:+80", 0, false, "", 0, false},
        {"127.0.0.1:8o", 0, false, "", 0, false},
        {":80", 0, false, "", 0, false},
        {"off", 0, false, "", 0, false},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        relayd::SHostPort oHostPort;
        std::string sErrMsg;
        const bool bOk =
            relayd::ParseHostPort(kRows[i].m_szText, kRows[i].m_wMinPort, oHostPort, sErrMsg);
        const std::string sRow = "row " + std::to_string(i) + " '" + kRows[i].m_szText + "'";
        ASSERT_EQ(bOk, kRows[i].m_bOk) << sRow << ": " << sErrMsg;
        if (bOk) {
            EXPECT_EQ(oHostPort.m_sHost, kRows[i].m_szHost) << sRow;
            EXPECT_EQ(oHostPort.m_wPort, kRows[i].m_wPort) << sRow;
            EXPECT_EQ(relayd::IsLoopbackAddress(oHostPort.m_sHost), kRows[i].m_bLoopback) << sRow;
        } else {
            EXPECT_NE(sErrMsg.find(kRows[i].m_szText), std::string::npos)
                << sRow << ": " << sErrMsg;
        }
    }
}

}  // namespace
