#pragma once

#include "Platform/Keyring.h"
#include "Services/Settings/HostCredentials.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class UserDefaults;

// The pairing credentials: secrets in the keyring, the rest as a JSON record in the user defaults and, so a
// lost settings file costs no pairing, as a keyring item too. Loaded once, without ever waiting on the
// keyring; then kept in memory, so callers that need it per output line never reach the keyring.
//
// Only a keyring that answered "not found" for everything gets new credentials saved. On any keyring failure
// (locked and not unlocked, timed out, no service) the host runs on credentials held in memory, and nothing
// is written, so the stored pairing survives for when the keyring is back. Only rotate() replaces stored
// items, except a missing or unreadable one, which the load makes anew and saves (a record from before the
// agent had a key gains one that way).
class HostCredentialStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool waitingForUnlock READ waitingForUnlock NOTIFY waitingForUnlockChanged)
    Q_PROPERTY(QString lastKeyringError READ lastKeyringError NOTIFY keyringErrorChanged)

public:
    using Ready = std::function<void(const HostCredentials &)>;

    inline static const QString defaultMetadataKey = QStringLiteral("FerrowynHost.credentials.metadata");
    inline static const QString defaultService = QStringLiteral("dev.ferrowyn.host.credentials");

    HostCredentialStore(UserDefaults &defaults, Keyring &keyring, QObject *parent = nullptr);

    // Calls ready on a later turn of the event loop once the credentials are known, unless context (never
    // null) is gone by then. A different relay version is stored in place.
    void request(HostRelayVersion relayVersion, QObject *context, Ready ready);
    // The loaded credentials; none before the first load completed.
    std::optional<HostCredentials> cached() const { return m_loaded; }
    // New credentials at once, saved in the background over whatever is stored; wins over a load in progress.
    HostCredentials rotate(HostRelayVersion relayVersion);
    // A new pairing nonce in place of the current one, saved like a rotation's (unless the keyring failed,
    // when it lives in memory like the rest); none before the first load completed.
    std::optional<HostCredentials> replacePairingNonce();

    // The load waits for the user to answer the desktop's unlock prompt.
    bool waitingForUnlock() const { return m_waitingForUnlock; }
    // Why the keyring failed in the latest load or save; empty when it did not.
    QString lastKeyringError() const { return m_lastKeyringError; }

    // A fresh record; both dates are the moment of making.
    static HostCredentials make(HostRelayVersion relayVersion,
                                const QDateTime &now = QDateTime::currentDateTimeUtc());
    // base64url without padding from the system's secure random source: 22 characters for 16 bytes.
    static QString randomBase64URL(int byteCount);
    // A new secret agent key, encoded (see AgentStaticKey).
    static QString newAgentKey();
    // The record without its secrets, as the settings and the metadata item hold it.
    static QByteArray metadataRecord(const HostCredentials &credentials);

    const QString metadataKey = defaultMetadataKey;
    const QString service = defaultService;
    const QString tokenAccount = QStringLiteral("host-token");
    const QString relayTokenAccount = QStringLiteral("relay-token");
    const QString pairingNonceAccount = QStringLiteral("pairing-nonce");
    const QString agentKeyAccount = QStringLiteral("agent-key");
    const QString metadataAccount = QStringLiteral("metadata");

signals:
    void waitingForUnlockChanged();
    void keyringErrorChanged();
    // The credentials are known, from a load or a rotation.
    void loaded();

private:
    using Answers = QHash<QString, Keyring::ReadResult>;

    void startLoad();
    void readsAnswered(const Answers &answers);
    // Credentials from what the keyring answered; accounts lists the items that are missing or unreadable.
    HostCredentials assemble(const Answers &answers, QStringList *missingAccounts) const;
    void settle(const HostCredentials &credentials);
    // Writes the record to the settings and the given items to the keyring.
    void persist(const HostCredentials &credentials, const QStringList &accounts);
    void scheduleAnswers();
    void answerWaiters();
    void setWaitingForUnlock(bool waiting);
    void setKeyringError(const QString &error);

    UserDefaults &m_defaults;
    Keyring &m_keyring;
    std::optional<HostCredentials> m_loaded;
    HostRelayVersion m_relayVersion = HostRelayVersion::elixirV2;
    QList<std::pair<QPointer<QObject>, Ready>> m_waiters;
    bool m_loading = false;
    bool m_unlockAsked = false;
    // Answers of an earlier load, or of one a rotation overtook, carry an older number and are dropped.
    int m_loadNumber = 0;
    // The keyring failed when the record was loaded: m_loaded was never stored, and must not overwrite the
    // stored record that the keyring may still hold.
    bool m_inMemoryOnly = false;
    bool m_waitingForUnlock = false;
    QString m_lastKeyringError;
};
