#include "relayd/config/descriptor_share.h"

#include <algorithm>

#include "relay_proto/channel.h"

namespace relayd {

SDescriptorShare ShareDescriptors(const SConfig& oConfig, uint64_t ddwLimit, uint64_t ddwOpen) {
    const uint64_t ddwListeners = uint64_t(oConfig.m_vecListen.size()) * relay_proto::CHANNEL_COUNT;
    const uint64_t ddwTaken = ddwOpen + ddwListeners + kReservedDescriptors;
    const uint64_t ddwLeft = ddwLimit > ddwTaken ? ddwLimit - ddwTaken : 0;
    const uint64_t ddwHttpWanted = (oConfig.m_sHttp == "off") ? 0 : oConfig.m_dwHttpMaxConnections;
    SDescriptorShare oShare;
    if (ddwLeft >= ddwHttpWanted + oConfig.m_dwMaxConnections) {
        oShare.m_dwHttp = static_cast<uint32_t>(ddwHttpWanted);
        oShare.m_dwIntake = oConfig.m_dwMaxConnections;
        return oShare;
    }
    // Too few for both: intake, the relay's purpose, keeps three quarters of what is left.
    oShare.m_dwHttp = static_cast<uint32_t>(std::min(ddwHttpWanted, ddwLeft / 4));
    oShare.m_dwIntake = static_cast<uint32_t>(std::max<uint64_t>(
        1, std::min<uint64_t>(oConfig.m_dwMaxConnections, ddwLeft - oShare.m_dwHttp)));
    oShare.m_bLowered = oShare.m_dwIntake < oConfig.m_dwMaxConnections;
    return oShare;
}

std::string DescribeShare(const SConfig& oConfig, const SDescriptorShare& oShare,
                          uint64_t ddwLimit) {
    std::string sText = "max_connections " + std::to_string(oShare.m_dwIntake);
    if (oShare.m_bLowered) {
        sText += " (lowered from " + std::to_string(oConfig.m_dwMaxConnections) + ": " +
                 std::to_string(ddwLimit) + " descriptors)";
    }
    return sText;
}

}  // namespace relayd
