// Reloading on SIGHUP (systemctl reload): the configuration file is read again with the
// same command line, and what can change while serving takes effect at once: the
// [[keys]] of the file (keys registered over HTTP stay) and the secrets (the HTTP token,
// the SMTP password, the webhook secrets, inline or from their files). One line says what
// was reloaded and which changed settings wait for a restart; a file that no longer loads
// gets one error line instead, and the settings in force stay.
#ifndef RELAYD_RELOAD_H
#define RELAYD_RELOAD_H

#include "relayd/config/config.h"
#include "relayd/config/live_secrets.h"
#include "relayd/options.h"
#include "relayd/service_manager.h"
#include "relayd/store/keyring.h"

namespace relayd {

class CReloader {
public:
    // oStarted: the settings the relay started with (before the descriptor share).
    CReloader(const SRelaydOptions& oOpts, const SConfig& oStarted, CKeyRing& oKeys,
              CLiveSecrets& oSecrets, CServiceNotifier& oNotifier)
        : m_oOpts(oOpts),
          m_oStarted(oStarted),
          m_oKeys(oKeys),
          m_oSecrets(oSecrets),
          m_oNotifier(oNotifier) {}

    // Reads the configuration again, applies it and logs the outcome in one line; the
    // service manager hears RELOADING=1 before and READY=1 after.
    void Reload();

private:
    const SRelaydOptions& m_oOpts;
    const SConfig& m_oStarted;
    CKeyRing& m_oKeys;
    CLiveSecrets& m_oSecrets;
    CServiceNotifier& m_oNotifier;
};

}  // namespace relayd

#endif  // RELAYD_RELOAD_H
