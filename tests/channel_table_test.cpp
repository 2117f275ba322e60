// relay_proto's channel table against the client's own constants: the ports, the
// FUNC_TYPE values and the channel words. The client keeps its names; this ties them.
#include <gtest/gtest.h>

#include <set>

#include "fanout_client/driver.h"
#include "fanout_client/settings.h"
#include "relay_proto/channel.h"

using namespace relay_proto;

static_assert(kChannels[CH_MAIL].m_wPort == g_wMailPort, "mail port");
static_assert(kChannels[CH_ZEPH].m_wPort == g_wZEPHPort, "zeph port");
static_assert(kChannels[CH_LUMO].m_wPort == g_wLumoPort, "lumo port");
static_assert(kChannels[CH_SMS].m_wPort == g_wSMSPort, "sms port");
static_assert(kChannels[CH_MAIL].m_nFuncType == FT_MAIL, "mail FUNC_TYPE");
static_assert(kChannels[CH_ZEPH].m_nFuncType == FT_ZEPH, "zeph FUNC_TYPE");
static_assert(kChannels[CH_LUMO].m_nFuncType == FT_LUMO, "lumo FUNC_TYPE");
static_assert(kChannels[CH_SMS].m_nFuncType == FT_SMS, "sms FUNC_TYPE");

namespace {

TEST(ChannelTable, ClientWordsNameTheSameChannels) {
    std::set<int> setFuncTypes;
    for (size_t i = 0; i < CHANNEL_COUNT; ++i) {
        const SChannelInfo& oInfo = kChannels[i];
        EXPECT_EQ(oInfo.m_nFuncType, ChannelOfWord(oInfo.m_szName))
            << "row " << i << ": " << oInfo.m_szName;
        CHANNEL eChannel = CH_SMS;
        EXPECT_TRUE(ChannelFromName(oInfo.m_szName, eChannel)) << "row " << i;
        EXPECT_EQ(oInfo.m_eChannel, eChannel) << "row " << i;
        EXPECT_EQ(oInfo.m_wPort + 7, ChannelPort(eChannel, 7)) << "row " << i;
        setFuncTypes.insert(oInfo.m_nFuncType);
    }
    // Four channels, four distinct client values, none of them "undefined".
    EXPECT_EQ(4u, setFuncTypes.size());
    EXPECT_EQ(0u, setFuncTypes.count(FT_UNDEFINED));
    EXPECT_EQ(FT_UNDEFINED, ChannelOfWord("fax"));
    CHANNEL eChannel = CH_SMS;
    EXPECT_FALSE(ChannelFromName("fax", eChannel));
}

}  // namespace
