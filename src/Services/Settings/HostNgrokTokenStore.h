#pragma once

#include <QObject>
#include <QString>

#include <functional>

class Keyring;

// Keeps the optional ngrok authtoken in the keyring, never in the user defaults. Neither call waits for it.
class HostNgrokTokenStore {
public:
    inline static const QString defaultService = QStringLiteral("dev.ferrowyn.host.ngrok");
    inline static const QString defaultTokenAccount = QStringLiteral("authtoken");

    explicit HostNgrokTokenStore(Keyring &keyring, QString service = defaultService,
                                 QString tokenAccount = defaultTokenAccount);

    // Stores the trimmed token, or deletes the item when nothing but blanks is left. Failures are logged.
    void save(const QString &token, QObject *context);
    // Answers with the stored token; empty when there is none, the item is not UTF-8 or the keyring failed.
    void load(QObject *context, std::function<void(const QString &token)> loaded) const;

    QString service() const { return m_service; }
    QString tokenAccount() const { return m_tokenAccount; }

private:
    Keyring *m_keyring;
    QString m_service;
    QString m_tokenAccount;
};
