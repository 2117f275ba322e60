#include "relayd/reload.h"

#include <string>
#include <vector>

#include "relayd/config/config_reload.h"
#include "relayd/config/config_rules.h"
#include "relayd/record/log.h"

namespace relayd {

void CReloader::Reload() {
    m_oNotifier.Reloading();
    SConfig oNew;
    // The running settings with the new keys and secrets: checked as a whole, so a token
    // is not taken away from an HTTP address that needs one.
    SConfig oApplied = m_oStarted;
    std::string sErrMsg;
    bool bOk = LoadSettings(m_oOpts, oNew, sErrMsg);
    if (bOk) {
        TakeReloadable(oNew, oApplied);
        bOk = FinishConfig(oApplied, sErrMsg);
    }
    if (!bOk) {
        LogLine(LL_ERROR, "reload failed, the settings in force stay: " + sErrMsg);
        m_oNotifier.Reloaded();
        return;
    }
    const SSecrets oSecrets = SecretsOf(oApplied);
    const std::vector<std::string> vecChanged = ChangedSecrets(m_oSecrets.Get(), oSecrets);
    m_oKeys.Replace(oApplied.m_vecKeys);
    if (!vecChanged.empty()) {
        m_oSecrets.Set(oSecrets);
    }
    LogLine(LL_INFO, ReloadText(oApplied.m_vecKeys.size(), vecChanged,
                                SettingsNeedingRestart(m_oStarted, oNew)));
    m_oNotifier.Reloaded();
}

}  // namespace relayd
