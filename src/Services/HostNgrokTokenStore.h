#pragma once

#include <QString>

class Keyring;

// Keeps the optional ngrok authtoken in the keyring, never in the user defaults.
class HostNgrokTokenStore {
public:
    HostNgrokTokenStore(Keyring &keyring, QString service, QString tokenAccount);

    // Stores the trimmed token, or deletes the item when nothing but blanks is left. Never reports.
    void save(const QString &token);
    // The stored token; empty when there is none, the item is not UTF-8 or the keyring failed.
    QString load() const;

    QString service() const { return m_service; }
    QString tokenAccount() const { return m_tokenAccount; }

private:
    Keyring *m_keyring;
    QString m_service;
    QString m_tokenAccount;
};
