#include "AgentLog.h"

#include <QUrl>

#include <cstdio>

namespace {

QStringList &redactions()
{
    static QStringList texts;
    return texts;
}

void writeLine(FILE *stream, const QString &message)
{
    QString line = message;
    for (const QString &secret : std::as_const(redactions()))
        line.replace(secret, QStringLiteral("redacted"));
    for (QChar &c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

namespace AgentLog {

void setRedactions(const QStringList &secrets)
{
    QStringList texts;
    for (const QString &secret : secrets) {
        // Masking a very short text would mangle every line and protect nothing.
        if (secret.size() < 8)
            continue;
        texts.append(secret);
        const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(secret));
        if (encoded != secret)
            texts.append(encoded);
    }
    redactions() = texts;
}

void event(const QString &message)
{
    writeLine(stdout, message);
}

void error(const QString &message)
{
    writeLine(stderr, message);
}

QString printable(const QString &text, int maxLength)
{
    QString result;
    for (const QChar c : text) {
        if (result.size() >= maxLength) {
            result += QStringLiteral("...");
            break;
        }
        result += (c.isPrint() ? c : QLatin1Char('?'));
    }
    return result;
}

} // namespace AgentLog
