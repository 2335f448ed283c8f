#pragma once

#include "AgentSecrets.h"
#include "Auth/PairingTickets.h"
#include "Auth/TrustedDeviceStore.h"

#include <QString>

// What a device presents in its first message.
struct AuthAttempt {
    QString token;
    QString hostId;
    // The setup link's field of this name, which holds a pairing code made from the nonce, not the nonce.
    QString pairingNonce;
    QString deviceId;
    QString deviceName;
    QString route = TrustedDevicesFile::lanRoute; // how the device reached the agent, recorded on success
    QString deviceSecret = {};                    // the secret it was issued; empty when pairing
    // A browser pairs with a ticket instead of the host token, host id and pairing code; empty otherwise.
    QString ticket = {};
};

enum class AuthOutcome {
    trustedDevice,
    newlyPaired,
    // A device paired before devices had secrets, issued its secret now.
    upgradedDevice,
    wrongToken,
    wrongHostId,
    // A device not trusted yet without a pairing code or ticket made with the current nonce for this host id.
    wrongPairingCode,
    wrongDeviceSecret,
    invalidDevice,
    expiredPairingCode,
    usedPairingCode,
    trustNotSaved,
};

struct AuthDecision {
    AuthOutcome outcome = AuthOutcome::wrongToken;
    // The secret to hand to the device, once: set when this attempt paired it or upgraded it.
    QString issuedSecret;
    // The hash the device is trusted under now (empty for an old entry that could not be upgraded), so that
    // a connection ends when its entry is replaced, not only when it is removed.
    QString secretHash;
    // Set when a ticket paired the device: what it needs to come back as a trusted device.
    QString hostToken = {};
    QString hostId = {};
};

// The decision on one attempt. The host token and host id are required, except of a browser that pairs with a
// ticket. A trusted device must also present its own secret; a device not yet trusted must present a valid
// pairing code (in place of the pairing nonce) or ticket, both made from the nonce as Shared/PairingTicket.h
// says and each used up by the device it pairs, and is then remembered as trusted under a secret made for it.
// A device id that is trusted already is never paired again over its entry: whoever holds its secret owns it.
class PairingAuthenticator {
public:
    PairingAuthenticator(AgentSecrets secrets, TrustedDeviceStore store);

    AuthDecision verify(const AuthAttempt &attempt);
    // Whether a device that authenticated earlier is still trusted for this host id under the same secret
    // (the file may have changed since).
    bool stillTrusted(const QString &deviceId, const QString &secretHash) const;
    // Whether a device of this id is trusted for this host id at all: what a coding session it opened needs.
    bool trusts(const QString &deviceId) const;
    // Forgets one device for this host id; true when it was trusted. `error` is set when the file could not
    // be changed.
    bool revoke(const QString &deviceId, QString *error);
    // A new setup link replaces the old one: from now on only this nonce pairs a device.
    void replacePairingNonce(const QString &nonce)
    {
        m_secrets.pairingNonce = nonce;
        m_tickets.forgetAll();
    }
    QString trustedDevicesPath() const { return m_store.filePath(); }

    static bool accepted(AuthOutcome outcome);
    // Why an attempt failed, for the agent's own log; never contains a presented value.
    static QString describe(AuthOutcome outcome);

private:
    AuthDecision verifyTrusted(const AuthAttempt &attempt, const TrustedDevice &device);
    AuthDecision verifyTicket(const AuthAttempt &attempt);
    // Trusts the device under a secret made for it when `code`, its pairing code or ticket, is valid, and
    // spends the code; the other credentials it paired with are right.
    AuthDecision pair(const AuthAttempt &attempt, const QString &code);

    AgentSecrets m_secrets;
    TrustedDeviceStore m_store;
    PairingTickets m_tickets;
};
