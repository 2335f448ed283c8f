#include "FuzzSupport.h"

#include "Services/Redaction/HostSecretRedactor.h"
#include "Services/Supervision/AgentOutputLineSplitter.h"
#include "Services/Supervision/AgentOutputLog.h"

#include <QRegularExpression>
#include <QSet>

// Input: one byte that picks the line length limit, two that seed the sizes of the reads and the forms below,
// the secrets on a line of their own (separated by tabs, at most four), then the agent's output.
// Invariants of the splitting, whatever the read sizes: no line is empty, over the limit or ends inside a
// surrogate pair, and the lines of valid UTF-8 joined are the output's text without its breaks.
// Invariant of the masking: with each secret written into the output's one endless line, every character in
// a form the redactor claims to match (as it is, percent-encoded once or twice, as JSON escapes, "+" for a
// blank, "\/" and the like), neither that writing nor the secret as it is shows in the log, whatever the read
// sizes.

namespace {

quint32 pick(quint32 &seed, quint32 choices)
{
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % choices;
}

// Hands `bytes` to `take` in reads of sizes drawn from `seed`: mostly tiny, sometimes long.
template <typename Take> void inReads(QByteArrayView bytes, quint32 seed, Take take)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length =
            std::min<qsizetype>(1 + pick(seed, pick(seed, 2) ? 9 : 300), bytes.size() - at);
        take(bytes.sliced(at, length));
        at += length;
    }
}

QString written(const QString &secret, quint32 &seed)
{
    // Escapes take hex digits in either case.
    const auto hex = [&seed](uint value, int digits) {
        const QString text = QString::number(value, 16).rightJustified(digits, u'0');
        return pick(seed, 2) ? text.toUpper() : text;
    };
    QString result;
    for (qsizetype i = 0; i < secret.size();) {
        const bool pair =
            i + 1 < secret.size() && secret.at(i).isHighSurrogate() && secret.at(i + 1).isLowSurrogate();
        const QString character = secret.mid(i, pair ? 2 : 1);
        i += character.size();
        const quint32 form = pick(seed, 4);
        if (form == 0)
            for (const QChar unit : character)
                result += QStringLiteral("\\u") + hex(unit.unicode(), 4);
        else if (form == 1)
            for (const char byte : character.toUtf8())
                result += (pick(seed, 2) ? QStringLiteral("%") : QStringLiteral("%25")) + hex(uchar(byte), 2);
        else if (form == 2 && character == u" ")
            result += u'+';
        else if (form == 2 && QStringLiteral("/\"\\").contains(character))
            result += QLatin1Char('\\') + character;
        else
            result += character;
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    const qsizetype newline = input.indexOf('\n');
    if (newline < 3)
        return 0;
    // Small limits make cuts common; the top values keep the real limit in play.
    const qsizetype limit = data[0] >= 250 ? AgentOutputLineSplitter::defaultMaxLineLength : 2 + data[0] % 40;
    quint32 seed = data[1] | (data[2] << 8);
    const QStringList secrets =
        QString::fromUtf8(input.sliced(3, newline - 3)).split(u'\t', Qt::SkipEmptyParts).mid(0, 4);
    const QByteArrayView stream = input.sliced(newline + 1);

    QStringList lines;
    AgentOutputLineSplitter splitter(limit);
    inReads(stream, seed, [&](QByteArrayView read) { splitter.feed(read, lines); });
    splitter.finish(lines);
    for (const QString &piece : std::as_const(lines))
        FUZZ_CHECK(!piece.isEmpty() && piece.size() <= limit && !piece.back().isHighSurrogate());
    const QRegularExpression lineBreak(QStringLiteral("[\\x{0a}-\\x{0d}\\x{85}\\x{2028}\\x{2029}]"));
    QString line = QString::fromUtf8(stream).remove(lineBreak);
    // Invalid bytes may become a different number of U+FFFD when a read cuts through them.
    if (QString::fromUtf8(stream).toUtf8() == stream)
        FUZZ_CHECK(lines.join(QString()) == line);

    // Masking cannot keep out a secret inside the word that replaces it, nor what that replacement makes with
    // its neighbours, nor a secret that a line break splits. Nor can a line be cut where no secret is split
    // when secrets overlap each other all along it; no real secrets are like these.
    const QString all = secrets.join(QString());
    if (QSet<QChar>(all.cbegin(), all.cend()).size() < all.size() || all.contains(lineBreak) ||
        std::any_of(secrets.cbegin(), secrets.cend(),
                    [](const QString &secret) { return HostSecretRedactor::replacement.contains(secret); }))
        return 0;
    QStringList writings;
    for (const QString &secret : secrets) {
        writings << written(secret, seed);
        line.insert(static_cast<qsizetype>(pick(seed, static_cast<quint32>(line.size() + 1))),
                    writings.last());
    }
    AgentOutputLog log([&] { return secrets; }, 1 << 20, limit);
    inReads(line.toUtf8(), seed, [&](QByteArrayView read) {
        log.take(QProcess::StandardOutput, read);
        log.publish();
    });
    log.finishStreams();
    // What a replacement word makes with its neighbours across a cut is not a secret left behind: the word is
    // taken for a character no decoded text holds, a lone surrogate.
    const QString shown = log.lines().join(QString()).replace(HostSecretRedactor::replacement, QChar(0xDC00));
    for (qsizetype i = 0; i < secrets.size(); ++i)
        FUZZ_CHECK(!shown.contains(secrets.at(i)) && !shown.contains(writings.at(i)));
    return 0;
}
