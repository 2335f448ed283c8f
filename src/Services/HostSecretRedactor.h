#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Masks the pairing secrets in text the host shows, with the bare word "redacted".
namespace HostSecretRedactor {

inline const QString replacement = QStringLiteral("redacted");

// Every non-empty form of every non-empty secret, in the order given, replaced wherever it occurs.
QString redact(const QString &text, const QStringList &secrets);
// The text shown for a setup link: secret query values masked by name (also inside its endpoint URL),
// then every secret masked by value.
QString redactedSetupLink(const QUrl &link, const QStringList &secrets);

} // namespace HostSecretRedactor
