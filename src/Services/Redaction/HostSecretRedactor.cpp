#include "Services/Redaction/HostSecretRedactor.h"

#include "Services/Links/QueryEncoding.h"
#include "Services/Redaction/SecretPattern.h"

#include <QStringView>

#include <algorithm>
#include <array>
#include <vector>

namespace {

enum class NestedEndpoint { mask, keep };

bool isSecretItemName(const QString &decodedName)
{
    static const std::array<QString, 5> names{QStringLiteral("token"), QStringLiteral("relaytoken"),
                                              QStringLiteral("hosttoken"), QStringLiteral("pairingnonce"),
                                              QStringLiteral("ticket")};
    const QString lowered = decodedName.toLower();
    return std::find(names.cbegin(), names.cend(), lowered) != names.cend();
}

// Works on the text itself rather than through a URL parser, so that every item the mask leaves alone keeps
// its encoding letter for letter.
QString maskQueryItems(QStringView query, NestedEndpoint nested)
{
    QString result;
    result.reserve(query.size());
    qsizetype start = 0;
    while (start <= query.size()) {
        qsizetype end = query.indexOf(QLatin1Char('&'), start);
        if (end < 0)
            end = query.size();
        const QStringView item = query.mid(start, end - start);
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        const QStringView name = equals < 0 ? item : item.left(equals);
        const QString decodedName = QueryEncoding::decodedComponent(name);

        if (start > 0)
            result += QLatin1Char('&');
        if (isSecretItemName(decodedName)) {
            result += name;
            result += QLatin1Char('=');
            result += HostSecretRedactor::replacement;
        } else if (nested == NestedEndpoint::mask && equals >= 0 &&
                   decodedName.compare(QLatin1String("endpoint"), Qt::CaseInsensitive) == 0) {
            const QString endpoint = QueryEncoding::decodedComponent(item.mid(equals + 1));
            const QString masked = HostSecretRedactor::redactEndpoint(endpoint);
            result += masked == endpoint
                          ? item.toString()
                          : name.toString() + QLatin1Char('=') + QueryEncoding::encodedComponent(masked);
        } else {
            result += item;
        }
        start = end + 1;
    }
    return result;
}

std::optional<QString> maskQuery(const QString &text, NestedEndpoint nested)
{
    qsizetype fragment = text.indexOf(QLatin1Char('#'));
    if (fragment < 0)
        fragment = text.size();
    const qsizetype question = text.left(fragment).indexOf(QLatin1Char('?'));
    // The browser form of the setup link carries its items in the fragment instead.
    if (question < 0 && fragment < text.size())
        return text.left(fragment + 1) + maskQueryItems(QStringView(text).mid(fragment + 1), nested);
    if (question < 0)
        return std::nullopt;
    const QStringView query = QStringView(text).mid(question + 1, fragment - question - 1);
    return text.left(question + 1) + maskQueryItems(query, nested) + text.mid(fragment);
}

struct Secret {
    SecretPattern pattern;
    // A secret that occurs inside the word "redacted" is replaced once: looking again would find it in
    // every replacement.
    bool occursInReplacement = false;
};

// Replaces every form of the secret, leftmost first. After a replacement the scan steps back far enough to
// see a form that the word "redacted" completed together with the text around it, so a secret such as
// "edXY" does not survive in "edXYXY". `budget` bounds the work for secrets that keep re-forming.
bool replaceAll(QString &text, const Secret &secret, qsizetype &budget)
{
    bool replaced = false;
    qsizetype from = 0;
    qsizetype length = 0;
    for (qsizetype at = secret.pattern.find(text, from, length); at >= 0;
         at = secret.pattern.find(text, from, length)) {
        text.replace(at, length, HostSecretRedactor::replacement);
        replaced = true;
        if (--budget < 0)
            return true;
        from = secret.occursInReplacement ? at + HostSecretRedactor::replacement.size()
                                          : std::max<qsizetype>(0, at - secret.pattern.longestFormLength());
    }
    return replaced;
}

// The agent's output is masked line by line with the same secrets each time, so the patterns of the last
// list are kept (per thread, as callers may run on any).
const std::vector<Secret> &patternsFor(const QStringList &secrets)
{
    thread_local QStringList cachedSecrets;
    thread_local std::vector<Secret> cachedPatterns;
    if (secrets == cachedSecrets && !cachedSecrets.isEmpty())
        return cachedPatterns;
    cachedSecrets = secrets;
    cachedPatterns.clear();
    for (const QString &secret : secrets) {
        if (secret.isEmpty())
            continue;
        Secret entry{SecretPattern(secret)};
        qsizetype length = 0;
        entry.occursInReplacement = entry.pattern.find(HostSecretRedactor::replacement, 0, length) >= 0;
        cachedPatterns.push_back(std::move(entry));
    }
    return cachedPatterns;
}

} // namespace

QString HostSecretRedactor::redact(const QString &text, const QStringList &secrets)
{
    if (text.isEmpty())
        return text;
    const std::vector<Secret> &patterns = patternsFor(secrets);
    if (patterns.empty())
        return text;

    // One replacement can complete another secret, an earlier one included, so the secrets are applied
    // again until nothing changes. Each replacement uses up at least one character of the text, which
    // bounds the rounds; the budget only stops secrets made of pieces of the word "redacted" itself.
    QString result = text;
    qsizetype budget = 2 * text.size() + 64;
    constexpr int maximumRounds = 16;
    for (int round = 0; round < maximumRounds; ++round) {
        bool changed = false;
        for (const Secret &secret : patterns) {
            if (round > 0 && secret.occursInReplacement)
                continue;
            changed = replaceAll(result, secret, budget) || changed;
        }
        if (budget < 0)
            break;
        if (!changed)
            return result;
    }
    // Not settled: showing nothing of the text is the only safe answer.
    return replacement;
}

QString HostSecretRedactor::redactFragment(const QString &text, const QStringList &secrets)
{
    // The earliest start of a secret's beginning that reaches the end of the text. The agent writes its
    // secrets as they are, so that is the form looked for here; whole secrets in any form are masked below.
    qsizetype tail = text.size();
    for (const QString &secret : secrets) {
        const qsizetype longest = std::min(secret.size() - 1, text.size());
        for (qsizetype length = longest; length >= shortestMaskedPrefix; --length) {
            if (text.size() - length < tail && text.endsWith(QStringView(secret).left(length))) {
                tail = text.size() - length;
                break;
            }
        }
    }
    if (tail == text.size())
        return redact(text, secrets);
    const qsizetype head = safeCut(text, tail, secrets);
    return redact(text.left(head), secrets) + replacement;
}

namespace {

// Moves `cut` past (forward) or before (backward) every form that crosses it, until none does. Each move goes
// one way only, so the search ends.
qsizetype moveOutOfForms(QStringView text, qsizetype cut, const std::vector<Secret> &patterns, bool forward)
{
    for (bool moved = true; moved;) {
        moved = false;
        for (const Secret &secret : patterns) {
            qsizetype length = 0;
            qsizetype from = std::max<qsizetype>(0, cut - secret.pattern.longestFormLength());
            for (qsizetype at = secret.pattern.find(text, from, length); at >= 0 && at < cut;
                 at = secret.pattern.find(text, from, length)) {
                if (at + length > cut) {
                    cut = forward ? at + length : at;
                    moved = true;
                    break;
                }
                from = at + 1;
            }
        }
    }
    return cut;
}

} // namespace

qsizetype HostSecretRedactor::safeCut(QStringView text, qsizetype cut, const QStringList &secrets)
{
    cut = std::clamp<qsizetype>(cut, 0, text.size());
    const std::vector<Secret> &patterns = patternsFor(secrets);
    const qsizetype before = moveOutOfForms(text, cut, patterns, false);
    // A text that begins inside a secret's form is cut after that form instead, a little past the place
    // proposed, rather than not at all.
    return before > 0 || cut == 0 ? before : moveOutOfForms(text, cut, patterns, true);
}

qsizetype HostSecretRedactor::longestFormLength(const QStringList &secrets)
{
    qsizetype longest = 0;
    for (const Secret &secret : patternsFor(secrets))
        longest = std::max(longest, secret.pattern.longestFormLength());
    return longest;
}

std::optional<QString> HostSecretRedactor::redactSetupURL(const QString &linkText)
{
    return maskQuery(linkText, NestedEndpoint::mask);
}

QString HostSecretRedactor::redactEndpoint(const QString &endpoint)
{
    return maskQuery(endpoint, NestedEndpoint::keep).value_or(endpoint);
}

QString HostSecretRedactor::redactedSetupLink(const QUrl &link, const QStringList &secrets)
{
    const QString text = link.toString(QUrl::FullyEncoded);
    return redact(redactSetupURL(text).value_or(text), secrets);
}
