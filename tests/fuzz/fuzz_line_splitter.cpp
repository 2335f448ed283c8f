#include "FuzzSupport.h"

#include "Services/AgentOutputLineSplitter.h"
#include "Services/Supervision/AgentOutputLog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Input: one byte that picks the line length limit, two that seed the sizes of the reads, then the stream.
// Invariants: whatever the read sizes, no line is empty, over the limit or holds a break, and the lines
// joined are the stream decoded, without its breaks. Fed at once, the lines are exactly the stream split at
// its breaks and cut at the limit; fed in pieces, they are the same when the stream is valid UTF-8 (invalid
// bytes may become a different number of U+FFFD when a read cuts through them).

namespace {

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// The lines the splitter promises for a whole decoded stream, computed without it.
QStringList expectedLines(const QString &decoded, qsizetype limit)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= decoded.size(); ++i) {
        if (i < decoded.size() && !isLineBreak(decoded.at(i)))
            continue;
        const QString line = decoded.mid(start, i - start);
        for (qsizetype at = 0; at < line.size();) {
            qsizetype length = std::min(limit, line.size() - at);
            if (at + length < line.size() && line.at(at + length - 1).isHighSurrogate())
                --length;
            lines.append(line.mid(at, length));
            at += length;
        }
        start = i + 1;
    }
    return lines;
}

QString withoutBreaks(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (!isLineBreak(c))
            result += c;
    }
    return result;
}

// Runs of U+FFFD count as one: how many a cut invalid sequence becomes is not promised.
QString replacementRunsFolded(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (c == QChar::ReplacementCharacter && result.endsWith(QChar::ReplacementCharacter))
            continue;
        result += c;
    }
    return result;
}

void checkEachLine(const QStringList &lines, qsizetype limit)
{
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.isEmpty());
        FUZZ_CHECK(line.size() <= limit);
        for (const QChar c : line)
            FUZZ_CHECK(!isLineBreak(c));
    }
}

// The log masks across the cuts: the stream without its breaks is one long line, cut in pieces whatever the
// read sizes; with a secret placed in it, neither a piece nor the pieces put together show the secret.
void checkMaskedAcrossCuts(const QString &decoded, qsizetype limit, quint32 seed)
{
    const QString secret = QStringLiteral("Zq3vL9xR2mT7wK4pBn");
    QString line = withoutBreaks(decoded);
    line.insert(static_cast<qsizetype>(seed % static_cast<quint32>(line.size() + 1)), secret);
    const QByteArray bytes = line.toUtf8();
    AgentOutputLog log([&] { return QStringList{secret}; }, 1 << 20, limit);
    for (qsizetype at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype length = std::min<qsizetype>(1 + (seed >> 16) % 64, bytes.size() - at);
        log.take(QProcess::StandardOutput, QByteArrayView(bytes).sliced(at, length));
        log.publish();
        at += length;
    }
    log.finishStreams();
    FUZZ_CHECK(!log.lines().join(QString()).contains(secret));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    // Small limits make cuts common; the top values keep the real limit in play.
    const qsizetype limit = data[0] >= 250 ? AgentOutputLineSplitter::defaultMaxLineLength : 2 + data[0] % 40;
    quint32 seed = data[1] | (data[2] << 8);
    const QByteArray stream(reinterpret_cast<const char *>(data) + 3, static_cast<qsizetype>(size) - 3);
    const QString decoded = QString::fromUtf8(stream);

    QStringList whole;
    {
        AgentOutputLineSplitter splitter(limit);
        splitter.feed(stream, whole);
        splitter.finish(whole);
        FUZZ_CHECK(!splitter.hasPending());
    }
    checkEachLine(whole, limit);
    FUZZ_CHECK(whole == expectedLines(decoded, limit));

    QStringList pieces;
    AgentOutputLineSplitter splitter(limit);
    for (qsizetype at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        const quint32 random = seed >> 16;
        const qsizetype length = std::min<qsizetype>(1 + random % (random & 1 ? 9 : 300), stream.size() - at);
        splitter.feed(QByteArrayView(stream).sliced(at, length), pieces);
        at += length;
    }
    splitter.finish(pieces);
    checkEachLine(pieces, limit);
    FUZZ_CHECK(replacementRunsFolded(pieces.join(QString())) ==
               replacementRunsFolded(withoutBreaks(decoded)));
    if (decoded.toUtf8() == stream)
        FUZZ_CHECK(pieces == whole);
    checkMaskedAcrossCuts(decoded, limit, seed);
    return 0;
}
