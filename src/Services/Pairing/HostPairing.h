#pragma once

#include "Services/Pairing/AgentControlRequest.h"
#include "Services/Settings/HostCredentialStore.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Keyring;
class UserDefaults;

// The pairing in use: the credentials the agent was launched with (or a rotation made), replacing them,
// revoking one tablet, and the secrets everything shown must mask. Main thread only.
class HostPairing : public QObject {
    Q_OBJECT

public:
    // How a revocation went, for what the caller still has to do.
    enum class Revocation {
        // No credentials were loaded, so no agent runs either: only the file held the device.
        withoutPairing,
        // The running agent took the new nonce and cut the device off.
        byAgent,
        // The agent was up but could not be asked: the device was taken out of its file, and the agent still
        // holds the old nonce.
        inFileAgentUnreachable,
        // No agent was up: the device was taken out of its file.
        inFile,
    };

    HostPairing(UserDefaults &defaults, Keyring &keyring, QObject *parent = nullptr);

    HostCredentialStore &credentialStore() { return m_credentialStore; }
    const HostCredentialStore &credentialStore() const { return m_credentialStore; }

    // The credentials in use: empty until a launch or a rotation; a stop keeps them.
    QString hostToken() const { return m_hostToken; }
    QString relaySession() const { return m_relaySession; }
    QString hostId() const { return m_hostId; }
    // Invalid until credentials were first used.
    QDateTime rotatedAt() const { return m_rotatedAt; }

    // An agent is launched with these credentials, listening on this port: they are in use from now on.
    // Returns the secret made for this launch, which the agent's control requests must present.
    QString useForLaunch(const HostCredentials &credentials, int agentPort);
    // Where the agent of the last launch takes its control requests, with the secret made for it.
    AgentControlRequest::Channel controlChannel() const { return {m_agentPort, m_controlSecret}; }
    // What the link carries: the credentials in use, with the relay token and the nonce of the store's copy
    // in memory, which a rotation or a revocation replaces.
    HostCredentials linkCredentials() const;
    // New credentials, in use at once; every trusted device is revoked.
    HostCredentials rotate(HostRelayVersion relayVersion);
    // Replaces the pairing nonce and cuts one device off: through the agent when one is up, otherwise, or
    // when it cannot be asked, in the trusted-devices file. `done` hears how, possibly before this returns,
    // unless `context` is gone by then.
    void revokeDevice(const QString &deviceId, bool agentIsUp, QObject *context,
                      std::function<void(Revocation)> done);

    // The secrets masked in everything shown: host token, relay session, host id, the agent's secret key and
    // the control secret; and with the ngrok authtoken of the last launch's preferences (none when they are
    // gone), relay token, pairing nonce and that token (also trimmed, as the agent gets it, when that
    // differs).
    QStringList secretsToMask(const std::optional<QString> &ngrokAuthtoken) const;

    // ~/.ferrowyn/trusted-devices.json, which the agent keeps and a rotation deletes.
    static QString trustedDevicesPath();

signals:
    void hostTokenChanged();
    void relaySessionChanged();
    void hostIdChanged();
    void rotatedAtChanged();
    // Why a device could not be revoked, in words for the user; empty once revoking works again (or a
    // rotation revoked everyone), since the device stays trusted until then.
    void revocationFailureChanged(const QString &warning);

private:
    void setInUse(const HostCredentials &credentials);
    void forgetTrustedDevice(const QString &deviceId);

    HostCredentialStore m_credentialStore;
    QString m_hostToken;
    QString m_relaySession;
    QString m_hostId;
    // The secret the running agent proves; the link carries its public half.
    QString m_agentKey;
    QDateTime m_rotatedAt;
    // Made anew for each launch: what the running agent's control requests must present.
    QString m_controlSecret;
    int m_agentPort = 0;
};
