#pragma once

#include "Auth/PairingAuthenticator.h"
#include "Auth/TrustedDevicesWatcher.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <optional>

// The host's requests to the running agent on its loopback port, authenticated by the control secret that
// only the host that launched the agent knows. Today one: revoking a single device, which also takes a new
// pairing nonce so the setup link that device scanned pairs nobody any more.
class ControlRequest {
public:
    struct Answer {
        int status = 200;
        QByteArray body;
    };

    // `secret` empty: the host gave none, and the control requests do not exist.
    ControlRequest(QString secret, PairingAuthenticator *authenticator, TrustedDevicesWatcher *watcher);

    bool enabled() const { return !m_secret.isEmpty(); }
    // The refusal for a caller that is not the host that launched the agent, or none.
    std::optional<Answer> refusal(const QHostAddress &peer, const QByteArray &authorization) const;
    static Answer error(int status, const QString &message);
    Answer revoke(const QHostAddress &peer, const QByteArray &authorization, const QByteArray &body);

private:
    QString m_secret;
    PairingAuthenticator *m_authenticator;
    TrustedDevicesWatcher *m_watcher;
};
