#pragma once

#include "Services/HostCredentials.h"

#include <QString>

#include <optional>

class Keyring;
class UserDefaults;

// The pairing credentials: secrets in the keyring, the rest as a JSON record in the user defaults.
// Once loaded, the record is kept in memory, so callers that need it per output line never wait on the
// keyring; saving replaces that copy.
class HostCredentialStore {
public:
    inline static const QString defaultMetadataKey = QStringLiteral("FerrowynHost.credentials.metadata");
    inline static const QString defaultService = QStringLiteral("dev.ferrowyn.host.credentials");

    HostCredentialStore(UserDefaults &defaults, Keyring &keyring);

    // The credentials to use, made and saved on first use. A different relay version is stored in place.
    HostCredentials current(HostRelayVersion relayVersion);
    // Writes the metadata record and the three secrets; never reports, but see lastKeyringError().
    void save(const HostCredentials &credentials);
    // A fresh record; both dates are the moment of making.
    static HostCredentials make(HostRelayVersion relayVersion,
                                const QDateTime &now = QDateTime::currentDateTimeUtc());
    // base64url without padding from the system's secure random source: 22 characters for 16 bytes.
    static QString randomBase64URL(int byteCount);

    // Why the keyring failed in the latest load or save; empty when it did not.
    QString lastKeyringError() const { return m_lastKeyringError; }

    const QString metadataKey = defaultMetadataKey;
    const QString service = defaultService;
    const QString tokenAccount = QStringLiteral("host-token");
    const QString relayTokenAccount = QStringLiteral("relay-token");
    const QString pairingNonceAccount = QStringLiteral("pairing-nonce");

private:
    std::optional<HostCredentials> load();
    // The secret under one account, or none; records a keyring failure.
    std::optional<QString> readSecret(const QString &account);

    UserDefaults &m_defaults;
    Keyring &m_keyring;
    std::optional<HostCredentials> m_loaded;
    // The keyring failed when the record was first needed: m_loaded was never stored, and must not overwrite
    // the stored record that the keyring may still hold.
    bool m_inMemoryOnly = false;
    QString m_lastKeyringError;
};
