// The secrets a running relay may take anew without a restart (the HTTP token, the SMTP
// password, the webhook secrets), shared by the HTTP side and delivery. A reload replaces
// them all at once; a reader sees either the old set or the new one, never a mix. Each
// replacement bumps a generation, so delivery knows when its senders hold a stale secret.
#ifndef RELAYD_CONFIG_LIVE_SECRETS_H
#define RELAYD_CONFIG_LIVE_SECRETS_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "relay_proto/channel.h"
#include "relayd/config/config.h"

namespace relayd {

struct SSecrets {
    std::string m_sHttpToken;
    std::string m_sMailPassword;
    std::string m_aWebhookSecrets[relay_proto::CHANNEL_COUNT];  // the mail entry is unused
};

// The secrets oConfig holds (after its *_file settings were read).
SSecrets SecretsOf(const SConfig& oConfig);

// oConfig with oSecrets in place of its own secrets.
void ApplySecrets(const SSecrets& oSecrets, SConfig& oConfig);

// The settings whose secret differs ("http_token", "mail.password", "sms.secret"...), in
// the configuration's order; the values themselves are never named.
std::vector<std::string> ChangedSecrets(const SSecrets& oOld, const SSecrets& oNew);

class CLiveSecrets {
public:
    explicit CLiveSecrets(const SConfig& oConfig) : m_oSecrets(SecretsOf(oConfig)) {}

    SSecrets Get() const;
    std::string HttpToken() const;
    // Bumped by every Set(); starts at 0.
    uint64_t Generation() const;
    void Set(const SSecrets& oSecrets);

private:
    mutable std::mutex m_oMutex;
    SSecrets m_oSecrets;
    uint64_t m_ddwGeneration = 0;
};

}  // namespace relayd

#endif  // RELAYD_CONFIG_LIVE_SECRETS_H
