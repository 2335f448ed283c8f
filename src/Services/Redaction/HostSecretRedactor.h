#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
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
// The same for text that was cut off before its end (the unfinished line of an agent that stopped): a start
// of a secret at its end, of at least `shortestMaskedPrefix` characters, is masked too, as what followed it
// is unknown.
QString redactFragment(const QString &text, const QStringList &secrets);
inline constexpr qsizetype shortestMaskedPrefix = 8;

// A place where the text may be cut without splitting a written form of a secret, so that each piece can be
// masked on its own: at or before `cut` and after the start, or, when the text begins with a form that
// crosses `cut`, just after that form.
qsizetype safeCut(QStringView text, qsizetype cut, const QStringList &secrets);
// How far past a cut a text must be known for safeCut to see every form that crosses it.
qsizetype longestFormLength(const QStringList &secrets);
// The text shown for a setup link: secret query values masked by name (also inside its endpoint URL),
// then every secret masked by value.
QString redactedSetupLink(const QUrl &link, const QStringList &secrets);

// The name pass on a link's text: the values of the items "token", "relayToken", "hostToken",
// "pairingNonce" and "ticket" (names compared decoded and ignoring case, written back as they were) become
// "redacted", also inside the URL an "endpoint" item carries. A link without a query has its fragment's items
// masked instead (the browser form); none when the text has neither.
std::optional<QString> redactSetupURL(const QString &linkText);
// The same masking for one endpoint URL (no endpoint nested in it is examined); the text unchanged when it
// has neither query nor fragment.
QString redactEndpoint(const QString &endpoint);

} // namespace HostSecretRedactor
