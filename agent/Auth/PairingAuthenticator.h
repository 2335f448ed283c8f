#pragma once

#include "AgentSecrets.h"
#include "Auth/TrustedDeviceStore.h"

#include <QString>

// What a device presents in its first message.
struct AuthAttempt {
    QString token;
    QString hostId;
    QString pairingNonce;
    QString deviceId;
    QString deviceName;
    QString route = TrustedDevicesFile::lanRoute; // how the device reached the agent, recorded on success
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
    // Whether a device that authenticated earlier is still trusted for this host id (the file may have
    // changed since).
    bool stillTrusted(const QString &deviceId) const;
    // Forgets one device for this host id; true when it was trusted. `error` is set when the file could not
    // be changed.
    bool revoke(const QString &deviceId, QString *error);
    // A new setup link replaces the old one: from now on only this nonce pairs a device.
    void replacePairingNonce(const QString &nonce) { m_secrets.pairingNonce = nonce; }
    QString trustedDevicesPath() const { return m_store.filePath(); }

    static bool accepted(AuthOutcome outcome);
    // Why an attempt failed, for the agent's own log; never contains a presented value.
    static QString describe(AuthOutcome outcome);

private:
    AgentSecrets m_secrets;
    TrustedDeviceStore m_store;
};
