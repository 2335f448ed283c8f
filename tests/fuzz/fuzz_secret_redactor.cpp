#include "FuzzSupport.h"

#include "Services/HostSecretRedactor.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Input: the secrets on the first line, separated by tabs (at most four), then the text to mask.
// Invariant: no written form of a secret that the redactor claims to match survives in its output. The forms
// are matched here by a plain search of their own, written from the claim rather than from the redactor.

namespace {

bool hexPairIs(QStringView text, qsizetype at, int byte)
{
    static const QString digits = QStringLiteral("0123456789abcdef");
    return at + 2 <= text.size() && digits.indexOf(text.at(at).toLower()) == byte / 16 &&
           digits.indexOf(text.at(at + 1).toLower()) == byte % 16;
}

// The positions at which one written form of the character `unit` (one or two UTF-16 units, `bytes` its
// UTF-8) that starts at `at` can end.
QList<qsizetype> formEnds(QStringView text, qsizetype at, QStringView units, const QByteArray &bytes)
{
    QList<qsizetype> ends;
    if (text.mid(at).startsWith(units))
        ends.append(at + units.size());
    if (units == u" " && at < text.size() && text.at(at) == u'+')
        ends.append(at + 1);
    if (units.size() == 1 && (units == u"/" || units == u"\"" || units == u"\\") && at + 1 < text.size() &&
        text.at(at) == u'\\' && text.at(at + 1) == units.at(0))
        ends.append(at + 2);
    // JSON: every UTF-16 unit as \uXXXX.
    qsizetype json = at;
    for (const QChar unit : units) {
        if (json >= 0 && json + 6 <= text.size() && text.at(json) == u'\\' && text.at(json + 1) == u'u' &&
            hexPairIs(text, json + 2, unit.unicode() >> 8) &&
            hexPairIs(text, json + 4, unit.unicode() & 0xff))
            json += 6;
        else
            json = -1;
    }
    if (json >= 0)
        ends.append(json);
    // Percent-encoding: every byte as %XX or, encoded twice, %25XX, in either hex case.
    QList<qsizetype> reached{at};
    for (const char byte : bytes) {
        QList<qsizetype> next;
        for (const qsizetype position : reached) {
            if (position < text.size() && text.at(position) == u'%') {
                if (hexPairIs(text, position + 1, static_cast<uchar>(byte)))
                    next.append(position + 3);
                if (hexPairIs(text, position + 1, 0x25) &&
                    hexPairIs(text, position + 3, static_cast<uchar>(byte)))
                    next.append(position + 5);
            }
        }
        reached = next;
    }
    ends.append(reached);
    return ends;
}

bool formOccurs(const QString &text, const QString &secret)
{
    QList<std::pair<QString, QByteArray>> characters;
    for (qsizetype i = 0; i < secret.size();) {
        const qsizetype length =
            secret.at(i).isHighSurrogate() && i + 1 < secret.size() && secret.at(i + 1).isLowSurrogate() ? 2
                                                                                                         : 1;
        characters.append({secret.mid(i, length), secret.mid(i, length).toUtf8()});
        i += length;
    }
    const QChar first = secret.at(0);
    for (qsizetype start = 0; start < text.size(); ++start) {
        // Every form begins with the character itself or with one of these.
        const QChar c = text.at(start);
        if (c != first && c != u'+' && c != u'%' && c != u'\\')
            continue;
        QList<qsizetype> reached{start};
        for (const auto &[units, bytes] : characters) {
            QList<qsizetype> next;
            for (const qsizetype position : reached) {
                for (const qsizetype end : formEnds(text, position, units, bytes)) {
                    if (!next.contains(end))
                        next.append(end);
                }
            }
            reached = next;
            if (reached.isEmpty())
                break;
        }
        if (!reached.isEmpty())
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype newline = input.indexOf('\n');
    if (newline < 0)
        return 0;
    QStringList secrets = QString::fromUtf8(input.left(newline)).split(u'\t', Qt::SkipEmptyParts);
    if (secrets.size() > 4)
        return 0;
    const QString text = QString::fromUtf8(input.mid(newline + 1));

    const QString masked = HostSecretRedactor::redact(text, secrets);
    for (const QString &secret : std::as_const(secrets)) {
        // A secret found in the word that replaces it cannot be kept out of the output; the redactor says
        // so, and no real secret is that short.
        if (formOccurs(HostSecretRedactor::replacement, secret))
            continue;
        FUZZ_CHECK(!formOccurs(masked, secret));
    }
    return 0;
}
