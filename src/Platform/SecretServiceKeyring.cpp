#include "Platform/SecretServiceKeyring.h"

#include <QFileInfo>

// glib names a struct member "signals", which Qt defines as a keyword macro.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace {

const SecretSchema *schema()
{
    static const SecretSchema genericPassword = {
        "dev.ferrowyn.host.GenericPassword",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &genericPassword;
}

// Without a session bus libsecret may try to autolaunch one, which on a desktop can block on an unlock
// prompt nobody sees. Refuse up front instead: a keyring that is not there is an error, not a hang.
bool sessionBusReachable(QString *error)
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return true;
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() &&
        QFileInfo::exists(QString::fromLocal8Bit(runtimeDir) + QStringLiteral("/bus")))
        return true;
    if (error)
        *error = QStringLiteral("no D-Bus session bus, so no system keyring");
    return false;
}

QString takeMessage(GError *gerror)
{
    QString message = QString::fromUtf8(gerror->message);
    g_error_free(gerror);
    return message;
}

} // namespace

Keyring::ReadResult SecretServiceKeyring::read(const QString &service, const QString &account)
{
    ReadResult result;
    if (!sessionBusReachable(&result.error)) {
        result.status = ReadResult::Status::Error;
        return result;
    }
    GError *gerror = nullptr;
    // The binary variant, so an item that is not UTF-8 reaches the caller as bytes instead of failing here.
    SecretValue *value = secret_password_lookup_binary_sync(schema(), nullptr, &gerror, "service",
                                                            service.toUtf8().constData(), "account",
                                                            account.toUtf8().constData(), nullptr);
    if (gerror) {
        result.status = ReadResult::Status::Error;
        result.error = takeMessage(gerror);
        return result;
    }
    // A locked collection also answers "nothing" here; libsecret does not tell the two apart.
    if (!value) {
        result.status = ReadResult::Status::NotFound;
        return result;
    }
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    result.status = ReadResult::Status::Found;
    result.data = QByteArray(bytes, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return result;
}

bool SecretServiceKeyring::write(const QByteArray &data, const QString &service, const QString &account,
                                 QString *error)
{
    if (!sessionBusReachable(error))
        return false;
    // Keychain items are readable after the first unlock and never leave the device. The Secret Service has
    // no such class: items live in the default collection, which the session unlocks at login.
    SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
    const QString label = service + QStringLiteral(" (") + account + QLatin1Char(')');
    GError *gerror = nullptr;
    const gboolean stored = secret_password_store_binary_sync(
        schema(), SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(), value, nullptr, &gerror, "service",
        service.toUtf8().constData(), "account", account.toUtf8().constData(), nullptr);
    secret_value_unref(value);
    if (gerror) {
        const QString message = takeMessage(gerror);
        if (error)
            *error = message;
        return false;
    }
    if (!stored && error)
        *error = QStringLiteral("the keyring did not store the item");
    return stored;
}

bool SecretServiceKeyring::remove(const QString &service, const QString &account, QString *error)
{
    if (!sessionBusReachable(error))
        return false;
    GError *gerror = nullptr;
    // FALSE without an error means there was nothing to remove, which is what the caller wanted.
    secret_password_clear_sync(schema(), nullptr, &gerror, "service", service.toUtf8().constData(), "account",
                               account.toUtf8().constData(), nullptr);
    if (gerror) {
        const QString message = takeMessage(gerror);
        if (error)
            *error = message;
        return false;
    }
    return true;
}
