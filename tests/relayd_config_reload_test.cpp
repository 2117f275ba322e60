// Reloading the configuration (relayd/config/config_reload, live_secrets): which changed
// settings wait for a restart, which secrets changed, and the line that says so.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "relayd/config/config_reload.h"
#include "relayd/config/live_secrets.h"

namespace {

TEST(RelaydConfigReload, NamesTheSettingsThatNeedARestart) {
    typedef std::function<void(relayd::SConfig&)> CHANGE_FN;
    const struct {
        CHANGE_FN m_fnChange;
        std::vector<std::string> m_vecNeedRestart;
    } kRows[] = {
        {[](relayd::SConfig&) {}, {}},
        // What a reload takes: never a restart.
        {[](relayd::SConfig& o) { o.m_vecKeys.resize(2); }, {}},
        {[](relayd::SConfig& o) { o.m_sHttpToken = "t"; }, {}},
        {[](relayd::SConfig& o) { o.m_sHttpTokenFile = "/run/t"; }, {}},
        {[](relayd::SConfig& o) { o.m_oMail.m_sPassword = "pw"; }, {}},
        {[](relayd::SConfig& o) { o.m_aWebhooks[relay_proto::CH_SMS].m_sSecret = "s"; }, {}},
        // The rest waits for a restart.
        {[](relayd::SConfig& o) { o.m_vecListen.push_back("::1"); }, {"listen"}},
        {[](relayd::SConfig& o) { o.m_sHttp = "off"; }, {"http"}},
        {[](relayd::SConfig& o) { o.m_sStore = "other.db"; }, {"store"}},
        {[](relayd::SConfig& o) { o.m_vecAllowText = {"10.0.0.0/8"}; }, {"allow"}},
        {[](relayd::SConfig& o) { o.m_llRetentionMs = 0; }, {"retention"}},
        {[](relayd::SConfig& o) { o.m_oMail.m_sSmtp = "smtp://u:pw@host"; }, {"mail.smtp"}},
        {[](relayd::SConfig& o) { o.m_aWebhooks[relay_proto::CH_LUMO].m_sUrl = "http://h/"; },
         {"lumo.webhook"}},
        {[](relayd::SConfig& o) { o.m_oDelivery.m_llRetryMaxMs = 1; }, {"delivery.retry_max"}},
        {[](relayd::SConfig& o) {
             o.m_sStore = "other.db";
             o.m_sHttp = "off";
             o.m_bRequireKey = true;
         },
         {"http", "store", "require_key"}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const relayd::SConfig oRunning;
        relayd::SConfig oNew;
        kRows[i].m_fnChange(oNew);
        EXPECT_EQ(kRows[i].m_vecNeedRestart, relayd::SettingsNeedingRestart(oRunning, oNew))
            << "row " << i;
    }
}

TEST(RelaydConfigReload, TakesKeysAndSecretsOnly) {
    relayd::SConfig oNew;
    oNew.m_vecKeys.resize(3);
    oNew.m_sHttpTokenFile = "/run/token";
    oNew.m_sHttpToken = "new";
    oNew.m_aWebhooks[relay_proto::CH_ZEPH].m_sSecret = "zs";
    oNew.m_sStore = "other.db";
    relayd::SConfig oRunning;
    relayd::TakeReloadable(oNew, oRunning);
    EXPECT_EQ(3u, oRunning.m_vecKeys.size());
    EXPECT_EQ("new", oRunning.m_sHttpToken);
    EXPECT_EQ("/run/token", oRunning.m_sHttpTokenFile);
    EXPECT_EQ("zs", oRunning.m_aWebhooks[relay_proto::CH_ZEPH].m_sSecret);
    EXPECT_EQ("fanout-relay.db", oRunning.m_sStore);
    EXPECT_EQ(std::vector<std::string>{"store"}, relayd::SettingsNeedingRestart(oRunning, oNew));
}

TEST(RelaydConfigReload, ChangedSecretsAndTheLine) {
    relayd::SSecrets oOld;
    oOld.m_sHttpToken = "a";
    relayd::SSecrets oNew = oOld;
    EXPECT_EQ(std::vector<std::string>{}, relayd::ChangedSecrets(oOld, oNew));
    oNew.m_sHttpToken = "b";
    oNew.m_sMailPassword = "pw";
    oNew.m_aWebhookSecrets[relay_proto::CH_SMS] = "s";
    const std::vector<std::string> vecChanged = relayd::ChangedSecrets(oOld, oNew);
    EXPECT_EQ((std::vector<std::string>{"http_token", "mail.password", "sms.secret"}), vecChanged);

    const struct {
        size_t m_nKeys;
        std::vector<std::string> m_vecSecrets;
        std::vector<std::string> m_vecRestart;
        const char* m_szLine;
    } kRows[] = {
        {0, {}, {}, "reloaded: keys 0; secrets unchanged"},
        {3, {"http_token"}, {}, "reloaded: keys 3; secrets changed: http_token"},
        {1,
         {},
         {"http", "store"},
         "reloaded: keys 1; secrets unchanged; needs a restart: http, store"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].m_szLine, relayd::ReloadText(kRows[i].m_nKeys, kRows[i].m_vecSecrets,
                                                        kRows[i].m_vecRestart))
            << "row " << i;
    }
}

TEST(RelaydConfigReload, LiveSecretsCountGenerations) {
    relayd::SConfig oConfig;
    oConfig.m_sHttpToken = "t1";
    relayd::CLiveSecrets oLive(oConfig);
    EXPECT_EQ(0u, oLive.Generation());
    EXPECT_EQ("t1", oLive.HttpToken());
    relayd::SSecrets oNext = oLive.Get();
    oNext.m_sHttpToken = "t2";
    oLive.Set(oNext);
    EXPECT_EQ(1u, oLive.Generation());
    EXPECT_EQ("t2", oLive.HttpToken());
    relayd::ApplySecrets(oLive.Get(), oConfig);
    EXPECT_EQ("t2", oConfig.m_sHttpToken);
}

}  // namespace
