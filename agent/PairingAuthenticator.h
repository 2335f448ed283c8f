#pragma once

#include "AgentSecrets.h"
#include "TrustedDeviceStore.h"

#include <QString>

// What a device presents in its first message.
struct AuthAttempt {
    QString token;
    QString hostId;
    QString pairingNonce;
    QString deviceId;
    QString deviceName;
};

enum class AuthOutcome {
    trustedDevice,
    newlyPaired,
    wrongToken,
    wrongHostId,
    wrongPairingNonce,
    invalidDevice,
    trustNotSaved,
};

// The decision on one attempt. The host token and host id are always required; a device not yet trusted
// must also present the current pairing nonce, and is then remembered as trusted.
class PairingAuthenticator {
public:
    PairingAuthenticator(AgentSecrets secrets, TrustedDeviceStore store);

    AuthOutcome verify(const AuthAttempt &attempt);

    static bool accepted(AuthOutcome outcome);
    // Why an attempt failed, for the agent's own log; never contains a presented value.
    static QString describe(AuthOutcome outcome);

private:
    AgentSecrets m_secrets;
    TrustedDeviceStore m_store;
};
