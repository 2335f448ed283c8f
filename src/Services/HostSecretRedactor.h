#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// Masks the pairing secrets in text the host shows, with the bare word "redacted".
namespace HostSecretRedactor {

inline const QString replacement = QStringLiteral("redacted");

// Every written form of every non-empty secret (as it is, percent-encoded once or twice in either hex case,
// "+" for blanks, JSON-escaped) replaced wherever it occurs, secrets in the order given, each on the result
// of the ones before. A replacement never leaves a secret behind that it completed together with its
// neighbours. Cheap enough to call for every line of the agent's output.
QString redact(const QString &text, const QStringList &secrets);
// The text shown for a setup link: secret query values masked by name (also inside its endpoint URL),
// then every secret masked by value.
QString redactedSetupLink(const QUrl &link, const QStringList &secrets);

// The name pass on a link's text: the values of the items "token", "relayToken", "hostToken" and
// "pairingNonce" (names compared decoded and ignoring case, written back as they were) become "redacted",
// also inside the URL an "endpoint" item carries. None when the text has no query.
std::optional<QString> redactSetupURL(const QString &linkText);
// The same masking for one endpoint URL (no endpoint nested in it is examined); the text unchanged when it
// has no query.
QString redactEndpoint(const QString &endpoint);

} // namespace HostSecretRedactor
