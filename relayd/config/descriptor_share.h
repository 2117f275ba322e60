// How the process's descriptors are shared out, so that no side can take what another
// needs: intake connections get what the descriptor limit leaves once the descriptors open
// at start, the listening sockets, the store, delivery and files, and the HTTP side's
// connections are set aside. max_connections is lowered to that when it asks for more.
//
//   limit 200, 10 open, one listen address, HTTP on: 200 - 10 - 4 - 64 = 122 left;
//   HTTP keeps a quarter (30), intake gets 92 (max_connections 4096 lowered)
#ifndef RELAYD_CONFIG_DESCRIPTOR_SHARE_H
#define RELAYD_CONFIG_DESCRIPTOR_SHARE_H

#include <cstdint>
#include <string>

#include "relayd/config/config.h"

namespace relayd {

// Kept for the store (database, its journal files), delivery's connections, files read
// at run time and the HTTP side's own sockets.
const uint64_t kReservedDescriptors = 64;
struct SDescriptorShare {
    uint32_t m_dwIntake = 0;  // max_connections in effect
    uint32_t m_dwHttp = 0;    // HTTP connections the descriptors leave room for
    bool m_bLowered = false;  // m_dwIntake is below max_connections
};

// Shares ddwLimit descriptors (the soft RLIMIT_NOFILE), ddwOpen of which are open now,
// between oConfig's listening sockets, the reserve, HTTP (when on: its
// http_max_connections) and intake. Intake
// gets at least one connection, however small the limit.
SDescriptorShare ShareDescriptors(const SConfig& oConfig, uint64_t ddwLimit, uint64_t ddwOpen);

// "max_connections 92 (lowered from 4096: 200 descriptors)" or "max_connections 4096".
std::string DescribeShare(const SConfig& oConfig, const SDescriptorShare& oShare,
                          uint64_t ddwLimit);

}  // namespace relayd

#endif  // RELAYD_CONFIG_DESCRIPTOR_SHARE_H
