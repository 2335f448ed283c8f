#pragma once

#include "Platform/Keyring.h"

// The freedesktop Secret Service (gnome-keyring, KWallet) through libsecret's synchronous calls.
class SecretServiceKeyring : public Keyring {
public:
    ReadResult read(const QString &service, const QString &account) override;
    bool write(const QByteArray &data, const QString &service, const QString &account,
               QString *error = nullptr) override;
    bool remove(const QString &service, const QString &account, QString *error = nullptr) override;
};
