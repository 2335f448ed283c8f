#include "Services/HostSecretRedactor.h"

// Provisional: masks the raw form of each secret only.
QString HostSecretRedactor::redact(const QString &text, const QStringList &secrets)
{
    QString result = text;
    for (const QString &secret : secrets) {
        if (!secret.isEmpty())
            result.replace(secret, replacement);
    }
    return result;
}

QString HostSecretRedactor::redactedSetupLink(const QUrl &link, const QStringList &secrets)
{
    return redact(link.toString(QUrl::FullyEncoded), secrets);
}
