#pragma once

#include <QObject>
#include <QString>

class HostCredentialStore;
class HostWarnings;

// Where the pairing secrets are right now, in words for the user, and what the keyring's trouble means: in
// the system keyring or the secrets file they were meant for, or only in memory when that failed, and then
// tablets must pair again after a restart. So the console, `--status` and the window never say "the system
// keyring" while the keyring is unavailable. The keyring's warning is its source's in HostWarnings; a secrets
// file has warnings of its own (refused, moved aside, not saved).
class PairingSecretsPlace : public QObject {
    Q_OBJECT

public:
    inline static const QString waitingForKeyringWarning =
        QStringLiteral("Waiting for the keyring to be unlocked");
    inline static const QString keyringUnavailableWarning = QStringLiteral(
        "System keyring unavailable: the pairing secrets are kept in memory only, so tablets must pair again "
        "after the host restarts. To keep them without a keyring, start the host with --secrets-file.");
    inline static const QString systemKeyring = QStringLiteral("the system keyring");
    inline static const QString memoryOnly =
        QStringLiteral("memory only (tablets must pair again after the host restarts)");

    // `secretsFilePath` is the secrets file the store uses; empty when it uses the system keyring.
    PairingSecretsPlace(const HostCredentialStore &store, HostWarnings &warnings, QString secretsFilePath,
                        QObject *parent = nullptr);

    // The keyring, the file's path or memory only; empty until the credentials are known.
    QString place() const;

signals:
    void placeChanged();

private:
    void reportKeyring();

    const HostCredentialStore &m_store;
    HostWarnings &m_warnings;
    QString m_secretsFilePath;
};
