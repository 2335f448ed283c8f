#pragma once

#include "Platform/Keyring.h"

#include <chrono>

struct KeyringTimeLimits {
    // A read, or a removal: the service answers these in milliseconds when it answers at all.
    std::chrono::milliseconds call{10000};
    // An unlock, or a write that may open the desktop's unlock prompt: a person has to answer it.
    std::chrono::milliseconds prompt{120000};
};

// The freedesktop Secret Service (gnome-keyring, KWallet) through libsecret's asynchronous calls, whose
// answers arrive in the GLib main context that Qt's event loop runs. A call past its time limit is cancelled
// and answered as an error.
class SecretServiceKeyring : public Keyring {
public:
    explicit SecretServiceKeyring(KeyringTimeLimits limits = {}) : m_limits(limits) {}

    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override;
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override;
    void remove(const QString &service, const QString &account, QObject *context, Done done) override;
    void unlock(QObject *context, Done done) override;

    inline static const QString timedOutError =
        QStringLiteral("the keyring did not answer in time (timed out)");

private:
    KeyringTimeLimits m_limits;
};
